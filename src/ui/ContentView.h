// The whole content of the main window, top to bottom: the waterfall strip, the status line,
// the transcript of chat bubbles, the length warning, the macro bar and the composer (message
// field and Send). It also shows the "KVOL" alert for ChatViewModel::alertMessage, over the
// window but not modal, so that nothing of the program is out of reach while it stands.
//
// Reads the controller's published state (messages, inputText, isSending, alertMessage,
// receiveQuality, rigStatus, waterfall, lastSentText) and the settings' macros; calls
// ChatViewModel::setInputText, ChatViewModel::send and ChatViewModel::setAlertMessage. Keeps
// nothing of its own beyond the field's selection and focus. Main thread.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

class AppSettings;
class ChatViewModel;
class LengthWarning;
class MacroBar;
class MessageField;
class SendButton;
class SpectrumView;
class StatusLine;
class TranscriptView;

class ContentView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kIdealWidth = 420;
  static constexpr int kIdealHeight = 640;
  static constexpr int kMinimumWidth = 380;
  static constexpr int kMinimumHeight = 480;

  ContentView(ChatViewModel& model, AppSettings& settings, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // Puts a macro's text into the message field in place of the selection (or at the caret) and
  // leaves the caret after it, within the controller's length limit.
  void insertMacroText(const QString& text);

  SpectrumView* spectrumView() const { return spectrum_; }
  StatusLine* statusLine() const { return statusLine_; }
  TranscriptView* transcript() const { return transcript_; }
  LengthWarning* lengthWarning() const { return lengthWarning_; }
  MacroBar* macroBar() const { return macroBar_; }
  MessageField* messageField() const { return field_; }
  SendButton* sendButton() const { return sendButton_; }
  QMessageBox* alert() const { return alert_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void showInputText();
  void showSending();
  void showAlert();
  bool recallLastSent();

  ChatViewModel& model_;
  SpectrumView* spectrum_;
  StatusLine* statusLine_;
  TranscriptView* transcript_;
  LengthWarning* lengthWarning_;
  MacroBar* macroBar_;
  MessageField* field_;
  SendButton* sendButton_;
  QPointer<QMessageBox> alert_;
  bool fieldHadFocusBeforeSending_ = false;
};
