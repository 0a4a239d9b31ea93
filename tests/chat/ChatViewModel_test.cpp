// The controller without audio or rig: live bubbles from injected decoder updates and an
// injected clock, the composer, capture that cannot start, export and tuning without a rig.
#include "chat/ChatViewModel.h"

#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTimeZone>

#include "ChatTestSupport.h"
#include "audio/AudioLevels.h"
#include "audio/WaterfallBitmap.h"
#include "settings/SettingsStore.h"

using namespace chattest;
using State = ChatMessage::DecodeState;

namespace {

class Controller : public testing::Test {
 protected:
  // Capture fails here: keep it quiet.
  void SetUp() override { make({.captureRetryInterval = std::chrono::hours(1)}); }
  void make(const ChatViewModel::Timing& timing) {
    model.reset();
    settings = std::make_unique<AppSettings>();
    model = std::make_unique<ChatViewModel>(*settings, timing, [this] { return clock; });
  }
  void advance(int ms) { clock = clock.addMSecs(ms); }
  const ChatMessage& at(int row) { return model->messages()->at(row); }
  qsizetype rows() { return model->messages()->size(); }

  ConfigHome home;
  QDateTime clock = QDateTime(QDate(2026, 5, 1), QTime(14, 3, 27));
  std::unique_ptr<AppSettings> settings;
  std::unique_ptr<ChatViewModel> model;
};

TEST_F(Controller, ABubbleFillsInRowByRowAndCompletesWithItsBestSnr) {
  settings->setPlayNewMessageSound(true);
  settings->setCapitalizeMessages(true);
  QSignalSpy sounds(model.get(), &ChatViewModel::newMessageSoundPlayed);
  model->handleDecoderUpdate(update(7, "CQ", false, -5));
  ASSERT_EQ(rows(), 1);
  EXPECT_EQ(at(0).decodeState, State::inProgress);
  EXPECT_FALSE(at(0).isSent);
  EXPECT_EQ(at(0).date, clock);
  model->handleDecoderUpdate(update(7, "CQ DE K1", false, -12));
  EXPECT_EQ(at(0).text, "CQ DE K1");
  EXPECT_EQ(at(0).bestSnrDb, -5);
  advance(15000);  // an SNR change alone is no progress
  model->handleDecoderUpdate(update(7, "CQ DE K1", false, -3));
  advance(105);
  model->sweepStalledBubbles();
  EXPECT_EQ(at(0).decodeState, State::incomplete);
  EXPECT_EQ(sounds.count(), 0);

  model->handleDecoderUpdate(update(8, "CQ DE K1ABC", false, -3));
  model->handleDecoderUpdate(update(8, "CQ DE K1ABC", true, -8));
  ASSERT_EQ(rows(), 2);
  EXPECT_EQ(at(1).decodeState, State::complete);
  EXPECT_EQ(at(1).bestSnrDb, -3);
  // The sound comes a moment later, once the devices are known: once, and none for the stalled
  // bubble before.
  EXPECT_TRUE(waitFor([&] { return sounds.count() >= 1; }));
  EXPECT_EQ(sounds.count(), 1);
  EXPECT_EQ(model->receiveQuality(), (ChatViewModel::ReceiveQuality{-8, 3, 46}));
  // The same id again is a new message; one complete at once never becomes a live bubble.
  model->handleDecoderUpdate(update(8, "GM OM. HOW ARE YOU?", true, 4));
  ASSERT_EQ(rows(), 3);
  EXPECT_EQ(at(2).text, "GM OM. How are you?");
  EXPECT_EQ(at(2).decodeState, State::complete);
  EXPECT_TRUE(waitFor([&] { return sounds.count() >= 2; }));
  EXPECT_EQ(sounds.count(), 2);
}

TEST_F(Controller, StalledBubblesCloseAfterTheirTimeoutByLength) {
  const std::pair<const char*, bool> cases[] = {
      {"ABCD", false}, {"ABCDEFG", true}, {"ABe\u0301e\u0301e\u0301e\u0301", false}};
  for (const auto& [text, stays] : cases) {
    SCOPED_TRACE(text);
    make({});
    model->handleDecoderUpdate(update(3, text, false));
    advance(15104);
    model->sweepStalledBubbles();
    EXPECT_EQ(rows(), 1) << "closed before its time";
    advance(1);
    model->sweepStalledBubbles();
    ASSERT_EQ(rows(), stays ? 1 : 0);
    if (stays) {
      EXPECT_EQ(at(0).decodeState, State::incomplete);
    }
  }
  // At the settings users get, the sweep's own timer closes a stalled bubble within 2 s, and a
  // capture that cannot start is tried again 2 s later.
  make({});
  ASSERT_TRUE(waitFor([&] { return model->captureStartAttempts() == 1; }));
  QElapsedTimer sinceFirstAttempt;
  sinceFirstAttempt.start();
  model->handleDecoderUpdate(update(4, "CQ CQ DE", false));
  advance(15105);
  EXPECT_TRUE(waitFor([&] { return at(0).decodeState == State::incomplete; }));
  ASSERT_TRUE(waitFor([&] { return model->captureStartAttempts() >= 2; }));
  EXPECT_GE(sinceFirstAttempt.elapsed(), 1500);

  // A complete update without text closes its bubble as a stall would, and says nothing of
  // the signal.
  make({});
  model->handleDecoderUpdate(update(1, "CQ CQ DE", false));
  model->handleDecoderUpdate(update(2, "CQ", false));
  const auto quality = model->receiveQuality();
  model->handleDecoderUpdate(update(1, "", true, 20));
  model->handleDecoderUpdate(update(2, "", true, 20));
  ASSERT_EQ(rows(), 1);
  EXPECT_EQ(at(0).decodeState, State::incomplete);
  EXPECT_EQ(model->receiveQuality(), quality);
}

TEST_F(Controller, ARestartClosesBubblesAndDropsUpdatesQueuedBeforeIt) {
  ASSERT_TRUE(waitFor([&] { return model->captureStartAttempts() == 1; }));
  model->postDecoderUpdate(update(5, "HELLO THERE", false));
  ASSERT_TRUE(waitFor([&] { return rows() == 1; }));
  model->postDecoderUpdate(update(5, "HELLO THERE FRIEND", false));
  model->postDecoderUpdate(update(6, "QRZ?", false));
  model->restartAudio();
  // The restart's own attempt to start capture has come back: the old audio is gone by then.
  ASSERT_TRUE(waitFor([&] { return model->captureStartAttempts() == 2; }));
  ASSERT_EQ(rows(), 1);
  EXPECT_EQ(at(0).text, "HELLO THERE");
  EXPECT_EQ(at(0).decodeState, State::incomplete);
  model->postDecoderUpdate(update(9, "AFTER", false));
  EXPECT_TRUE(waitFor([&] { return rows() == 2; }));
}

TEST_F(Controller, TheHandlerMetersTheBlockBeforeTheGainAndFeedsTheWaterfall) {
  model->inputGain().setLinear(0.1f);
  std::vector<int16_t> block(512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(i % 2 ? 16384 : -16384);
  for (int i = 0; i < 4; ++i) model->handleCapturedSamples(block);  // as the capture thread does
  ASSERT_TRUE(waitFor([&] { return !model->waterfall().image().isNull(); }));
  EXPECT_NEAR(model->levels().inputDb(), -6.02f, 0.01f);  // 16384 of 32768, not a tenth of it
}

TEST_F(Controller, TheComposerKeepsEightyCharactersAndSendsOneMessageAtATime) {
  QString accented;  // eighty characters as a reader counts them
  for (int i = 0; i < 90; ++i) accented += QStringLiteral("e\u0301");
  model->setInputText(accented);
  EXPECT_EQ(model->inputText(), accented.left(160));
  settings->setCallsign(QStringLiteral(" K1ABC\t"));
  EXPECT_EQ(model->textWithCallsign(QStringLiteral("CQ")), std::nullopt);
  settings->setAppendCallsign(true);
  EXPECT_EQ(model->textWithCallsign(QString(71, u'X')), QString(71, u'X') + " de K1ABC");
  EXPECT_EQ(model->textWithCallsign(QString(72, u'X')), std::nullopt);

  settings->setCapitalizeMessages(true);
  model->setInputText(QStringLiteral("\u3000 \u00e9 HELLO\t\u00a0"));
  model->send();
  ASSERT_EQ(rows(), 1);
  EXPECT_TRUE(at(0).isSent);
  EXPECT_EQ(at(0).text, "# hello DE K1ABC");  // as the encoder sends it, capitalised
  EXPECT_EQ(model->lastSentText(), "\u00e9 HELLO");
  EXPECT_EQ(model->inputText(), "");
  EXPECT_TRUE(model->isSending());
  model->setInputText(QStringLiteral("AGAIN"));
  model->send();
  EXPECT_EQ(rows(), 1);
  // No audio server here: the transmission ends as soon as the playback alert says so, and
  // the transcript shows that the message did not go out.
  ASSERT_TRUE(waitFor([&] { return model->alertMessage().has_value(); }));
  EXPECT_TRUE(model->alertMessage()->startsWith("Couldn't play the transmit audio: "));
  EXPECT_FALSE(model->isSending());
  EXPECT_EQ(at(0).decodeState, State::incomplete);
  model->setInputText(QStringLiteral(" \t\u3000"));
  model->send();
  EXPECT_EQ(rows(), 1);

  settings->setRigModel(2);
  settings->setRigPort(QStringLiteral("  "));
  ASSERT_TRUE(settings->save());
  model->setAlertMessage(std::nullopt);
  model->tune(7.074);
  EXPECT_EQ(model->alertMessage(), "Configure a rig model and port in Settings first.");
}

TEST_F(Controller, ARestartDuringARetryChainEndsTheOlderChain) {
  make({.captureRetryInterval = std::chrono::milliseconds(20)});
  ASSERT_TRUE(waitFor([&] { return model->captureStartAttempts() >= 3; }));
  model->setAlertMessage(std::nullopt);
  std::vector<int> attemptsAtAlert;
  QObject::connect(model.get(), &ChatViewModel::alertMessageChanged, model.get(), [&] {
    if (model->alertMessage()) attemptsAtAlert.push_back(model->captureStartAttempts());
  });
  const int before = model->captureStartAttempts();
  model->restartAudio();
  ASSERT_TRUE(waitFor([&] { return !attemptsAtAlert.empty(); }));
  EXPECT_EQ(attemptsAtAlert, std::vector<int>{before + 16});  // after the sixteenth only
  // No audio server runs here: the input device in Settings is not what to check.
  EXPECT_EQ(model->alertMessage(),
            "Couldn't start listening on the audio input: No audio server is running.");
  QTest::qWait(100);  // long enough for the old chain's next attempts, had it lived on
  EXPECT_EQ(model->captureStartAttempts(), before + 16);
}

struct Chooser final : ExportFileChooser {
  std::optional<QString> chooseFile(const QString& title, const QString& suggested) override {
    EXPECT_EQ(title, "Export Messages");
    EXPECT_EQ(suggested, ChatViewModel::suggestedExportFileName(QDateTime::currentDateTimeUtc()));
    return answer;
  }
  std::optional<QString> answer;
};

TEST_F(Controller, ExportWritesTabSeparatedLinesOrSaysWhyNot) {
  const std::tuple<bool, std::optional<int>, const char*> cases[] = {
      {false, 1, "RX\tCQ\t2026-05-01 14:03:27\t+1 dB"},
      {false, 0, "RX\tCQ\t2026-05-01 14:03:27\t0 dB"},
      {false, -7, "RX\tCQ\t2026-05-01 14:03:27\t-7 dB"},
      {true, std::nullopt, "TX\tCQ\t2026-05-01 14:03:27"}};
  for (const auto& [sent, snr, line] : cases)
    EXPECT_EQ(ChatViewModel::exportLine({{}, "CQ", sent, State::complete, clock, snr}), line);
  EXPECT_EQ(model->exportText(), "\n");
  EXPECT_EQ(ChatViewModel::suggestedExportFileName(
                QDateTime(QDate(2026, 5, 2), QTime(1, 0), QTimeZone(7200))),
            "Palavrix 2026-05-01.txt");

  model->handleDecoderUpdate(update(1, "CQ \u00c9A", true, 3));
  QTemporaryDir folder;
  const QString path = folder.filePath("out.txt");
  auto* chooser = new Chooser;
  model->setExportFileChooser(std::unique_ptr<Chooser>(chooser));
  chooser->answer = path;
  model->exportMessages();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), model->exportText().toUtf8());
  EXPECT_TRUE(model->exportText().startsWith("RX\tCQ \u00c9A\t"));
  chooser->answer.reset();
  model->exportMessages();
  EXPECT_EQ(model->alertMessage(), std::nullopt);
  // Not even root can write below a regular file.
  chooser->answer = path + "/below.txt";
  model->exportMessages();
  EXPECT_TRUE(model->alertMessage().value_or("").startsWith("Couldn't export the messages: "));
}

// A settings file that cannot be read is said at start: the window would otherwise open on the
// defaults, without the rig, and say nothing. A good file raises no alert.
TEST_F(Controller, AnUnreadableSettingsFileIsSaidInTheAlertAtStart) {
  const QString path = settingsStorePath();
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
  const auto write = [&](const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
  };
  const std::pair<std::function<bool()>, QString> stores[] = {
      {[&] { return mkfifo(QFile::encodeName(path).constData(), 0600) == 0; },
       "is not a regular file"},
      {[&] { return QFile::link(path, path); }, "is not a regular file"},
      {[&] { return write("[General]\ncallsign=DL1ABC\n" + QByteArray(2, '\x01')); },
       "is not a text file"},
      {[&] { return write("[General]\ncallsign=DL1ABC\n"); }, QString()}};
  for (const auto& [create, reason] : stores) {
    SCOPED_TRACE(reason.toStdString());
    QFile::remove(path);
    ASSERT_TRUE(create());
    make({.captureRetryInterval = std::chrono::hours(1)});
    if (reason.isEmpty()) {
      EXPECT_EQ(settings->callsign(), "DL1ABC");
      EXPECT_EQ(model->alertMessage(), std::nullopt);
      continue;
    }
    EXPECT_EQ(model->alertMessage(),
              QString("Couldn't read the settings: \"%1\" %2. Palavrix runs on the default "
                      "settings and will not save over the file.")
                  .arg(path, reason));
    // Said once: a save it refuses does not raise it again.
    model->setAlertMessage(std::nullopt);
    EXPECT_FALSE(settings->save());
    EXPECT_EQ(model->alertMessage(), std::nullopt);
  }
}

}  // namespace
