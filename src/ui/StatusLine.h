// The line under the waterfall: the latest receive quality ("SNR …", "Errors …/… symbols") or
// "No signal decoded", and the rig's status at the right edge when there is one. Reads
// ChatViewModel::receiveQuality and ChatViewModel::rigStatus. Main thread.
#pragma once

#include <QStringList>
#include <QWidget>

class ChatViewModel;
class ElidedLabel;
class QLabel;

class StatusLine final : public QWidget {
  Q_OBJECT

 public:
  explicit StatusLine(ChatViewModel& model, QWidget* parent = nullptr);

  // The texts shown, left to right.
  QStringList texts() const;

 private:
  void showQuality();
  void showRigStatus();

  ChatViewModel& model_;
  QLabel* snr_;
  QLabel* errors_;
  QLabel* noSignal_;
  ElidedLabel* rigStatus_;
};
