// One tab of the settings window: a private copy of part of the station's settings, filled from
// the saved settings each time the window is shown and written back only by OK. Its background
// answers are dropped once the window has closed or been shown again. Main thread.
#pragma once

#include <QWidget>
#include <utility>

#include "ui/BackgroundTask.h"

class AppSettings;
class QFormLayout;

class SettingsPage : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsPage(AppSettings& settings, QWidget* parent = nullptr);

  // The window is shown: the page starts over from the saved settings.
  void load();
  // OK: the page's edits into the settings; the window saves them once every page has applied.
  virtual void apply() = 0;
  // The window closed, by OK or otherwise.
  void end();

 signals:
  // A text of the page came, went or changed, so the window may need another height.
  void heightChanged();

 protected:
  virtual void loadSettings() = 0;
  // Undoes what the page previews live; the saved values are in the settings again.
  virtual void endPreviews() {}

  AppSettings& settings() const { return settings_; }

  // The page's padded form; kept at the top of the page unless the form fills it.
  enum class Placement { top, fill };
  QFormLayout* addForm(Placement placement);

  // work() on the thread pool, then done(answer) here, unless the window closed or was shown
  // again in the meantime.
  template <typename Work, typename Done>
  void runWhileShown(Work work, Done done) {
    runInBackground(this, std::move(work),
                    [this, showing = showing_, done = std::move(done)](const auto& answer) mutable {
                      if (showing == showing_) done(answer);
                    });
  }

 private:
  AppSettings& settings_;
  quint64 showing_ = 0;
};
