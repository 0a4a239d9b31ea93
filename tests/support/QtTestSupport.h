// What every test that runs Qt's event loop shares.
#pragma once

#include <QString>
#include <QTest>
#include <functional>
#include <ostream>

// Waits, with the event loop running, until the condition holds or the time is up.
inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  return QTest::qWaitFor(condition, timeoutMs);
}

// Readable texts in GoogleTest's failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
