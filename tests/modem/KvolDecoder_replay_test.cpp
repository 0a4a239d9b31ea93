// A real receiving station's input replayed through KvolDecoder: twenty messages over a clean
// channel whose sender's playback starved now and then. Fed in capture-sized blocks after leading
// silence of several lengths, which moves the receiver's analysis windows against the recording.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "modem/KvolDecoder.h"

namespace {

const std::string kRecording = std::string(PALAVRIX_RECORDINGS_DIR) + "/clean-channel-20-messages";
constexpr int kRate = 12000;
constexpr std::size_t kBlock = 512;  // 2048 frames captured at 48 000 Hz

struct Sent {
  double on_s, off_s;  // push-to-talk at the sender
  std::string text;    // as the modem sends it
};

std::vector<std::int16_t> recording() {
  SF_INFO info{};
  SNDFILE* file = sf_open((kRecording + ".flac").c_str(), SFM_READ, &info);
  if (file == nullptr) return {};
  std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames));
  const sf_count_t read = sf_read_short(file, samples.data(), info.frames);
  sf_close(file);
  if (info.samplerate != kRate || info.channels != 1 || read != info.frames) return {};
  return samples;
}

// Whether the text is the sent one, or pieces of it in order with " ... " where frames were lost.
bool is_part_of(const std::string& text, const std::string& sent) {
  std::size_t from = 0, at = 0;
  for (;;) {
    const std::size_t gap = text.find(" ... ", from);
    const std::string piece = text.substr(from, gap == std::string::npos ? gap : gap - from);
    at = sent.find(piece, at);
    if (at == std::string::npos) return false;
    at += piece.size();
    if (gap == std::string::npos) return true;
    from = gap + 5;
  }
}

class Replay : public testing::TestWithParam<int> {};

TEST_P(Replay, ShowsEachMessageOnceWholeAndNothingElse) {
  KvolDecoder decoder;
  std::vector<Sent> sent;
  std::ifstream tsv(kRecording + ".sent.tsv");
  for (std::string line; std::getline(tsv, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Sent s;
    std::string typed;
    fields >> s.on_s >> s.off_s;
    std::getline(fields >> std::ws, typed);
    s.text = decoder.encode(typed, 1500.0f).sentText;
    sent.push_back(s);
  }
  ASSERT_EQ(sent.size(), 20u) << kRecording;
  std::vector<std::int16_t> audio(static_cast<std::size_t>(GetParam()), 0);
  const std::vector<std::int16_t> heard = recording();
  ASSERT_FALSE(heard.empty()) << kRecording;
  audio.insert(audio.end(), heard.begin(), heard.end());
  audio.resize(audio.size() + 10 * kRate, 0);  // long enough for the last message to end

  // Each message is the one on the air when its first update came.
  std::map<std::int64_t, int> message_of;
  std::map<std::int64_t, KvolDecoder::Update> last;
  double now_s = 0;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) {
    if (!message_of.contains(u.messageId)) {
      message_of[u.messageId] = -1;
      for (std::size_t k = 0; k < sent.size(); ++k)
        if (now_s > sent[k].on_s && now_s < sent[k].off_s + 3.0) message_of[u.messageId] = int(k);
    }
    const int k = message_of[u.messageId];
    EXPECT_TRUE(k >= 0 && is_part_of(u.text, sent[k].text)) << "\"" << u.text << "\" " << now_s;
    last[u.messageId] = u;
  };
  for (std::size_t i = 0; i < audio.size(); i += kBlock) {
    const std::size_t n = std::min(kBlock, audio.size() - i);
    decoder.append(std::span(audio).subspan(i, n));
    now_s = (double(i + n) - GetParam()) / kRate;
    decoder.decodePending();
  }

  std::vector<std::string> shown(sent.size());
  std::vector<int> complete(sent.size());
  for (const auto& [id, k] : message_of) {
    if (k < 0) continue;
    shown[k] += " \"" + last[id].text + (last[id].isComplete ? "\"" : "\"(incomplete)");
    complete[k] += last[id].isComplete ? 1 : 100;
  }
  for (std::size_t k = 0; k < sent.size(); ++k)
    EXPECT_EQ(complete[k], 1) << sent[k].text << " shown as" << shown[k];
}

// Leading silences at which frames first fall on a window's very end and read off frequency
// (splitting a message), and at which misaligned windows read text that was not sent.
INSTANTIATE_TEST_SUITE_P(LeadingSilence, Replay, testing::Values(236, 295, 2537, 4602));

}  // namespace
