// The receive half of KvolDecoder end to end: messages made by encode, taken down to 12 000 Hz
// through a proper low-pass, buried in noise and fed in 512-sample blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kvol_channel.h"
#include "modem/KvolDecoder.h"
#include "modem/rx_streams.h"

namespace {

using Update = KvolDecoder::Update;
using kvol_channel::kRate;

constexpr double kSigma = 1000.0;  // noise level of every test channel

struct Transmission {
  std::string text;
  float frequency = 1500.0f;
  double start_s = 1.0;
  double snr_db = -8.0;
};

struct Sent {
  std::string text;
  std::size_t frames = 0;
  std::vector<float> audio;  // at 12 000 Hz, unscaled
};

Sent encode_at_12k(KvolDecoder& decoder, const std::string& text, float frequency) {
  const KvolDecoder::Encoded encoded = decoder.encode(text, frequency);
  EXPECT_TRUE(encoded.ok) << text;
  return {encoded.sentText, encoded.samples.size() / (59 * 1536),
          kvol_channel::decimate_48k_to_12k(encoded.samples)};
}

// Every update, and the updates of each message.
struct Collector {
  std::vector<Update> all;
  std::map<std::int64_t, std::vector<Update>> by_id;

  void attach(KvolDecoder& decoder) {
    decoder.onMessageUpdated = [this](const Update& u) {
      all.push_back(u);
      by_id[u.messageId].push_back(u);
    };
  }
  // Every update of the message whose last reads `text`; only the last is complete.
  const std::vector<Update>* message(const std::string& text) const {
    for (const auto& [id, updates] : by_id) {
      if (updates.back().text != text) continue;
      for (std::size_t i = 0; i < updates.size(); ++i) {
        EXPECT_EQ(updates[i].isComplete, i + 1 == updates.size()) << updates[i].text;
        EXPECT_EQ(text.rfind(updates[i].text, 0), 0u) << "'" << updates[i].text << "'";
      }
      return &updates;
    }
    ADD_FAILURE() << "no message reads " << text;
    return nullptr;
  }
};

void feed(KvolDecoder& decoder, const std::vector<std::int16_t>& audio) {
  for (std::size_t i = 0; i < audio.size(); i += 512) {
    decoder.append(std::span(audio).subspan(i, std::min<std::size_t>(512, audio.size() - i)));
    decoder.decodePending();
  }
}

// A fresh decoder with every update collected; made holds the encodings of what was sent.
class Receiver : public testing::Test {
 protected:
  Receiver() { got.attach(decoder); }

  // The received audio of the transmissions over `seconds` of noise.
  std::vector<std::int16_t> audio_of(const std::vector<Transmission>& sent, double seconds,
                                     unsigned seed) {
    kvol_channel::Channel channel(static_cast<std::size_t>(seconds * kRate));
    for (const Transmission& t : sent) {
      Sent s = encode_at_12k(decoder, t.text, t.frequency);
      channel.add_signal(s.audio, static_cast<std::size_t>(t.start_s * kRate), t.snr_db, kSigma);
      made.push_back(std::move(s));
    }
    channel.add_noise(kSigma, seed);
    return channel.quantised();
  }

  KvolDecoder decoder;
  Collector got;
  std::vector<Sent> made;
};

// One, three and sixteen frames, near and up to 19 Hz off the expected 1500 Hz; two
// transmissions that overlap; and a weak frame 8 Hz from a strong one over it, found once the
// strong one is decoded and removed from the window. Each after a reset: every update is a start
// of its text, only the last is complete, and it counts the symbols of every frame.
TEST_F(Receiver, MessagesGrowFrameByFrameToTheirText) {
  const std::string longest =
      "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 PACK MY BOX WITH FIVE DOZ";
  const struct {
    std::vector<Transmission> sent;
    double seconds;
    std::size_t frames;  // of the first
  } cases[] = {
      {{{"K1ABC TU", 1500.0f, 1.3}}, 6.0, 1},
      {{{"CQ TEST K1ABC", 1510.0f, 0.7}}, 8.0, 3},
      {{{"CQ TEST K1ABC", 1518.0f, 0.9}}, 8.0, 3},
      {{{"K1ABC TU", 1481.0f, 1.1}}, 6.0, 1},
      {{{"CQ TEST K1ABC", 1484.5f, 0.8}}, 8.0, 3},
      {{{"K1ABC TU", 1515.5f, 1.2}}, 6.0, 1},
      {{{longest, 1495.0f, 0.5}}, 33.0, 16},
      {{{"CQ TEST DE K1ABC", 1500.0f, 0.6}, {"QRZ? DE W9XYZ", 1660.0f, 1.5, -4.0}}, 10.0, 4},
      {{{"K1ABC TU", 1500.0f, 1.3, 15.0}, {"W9XYZ", 1508.0f, 1.0}}, 5.0, 1}};
  unsigned seed = 1;
  for (const auto& c : cases) {
    decoder.requestReset();
    got = {};
    got.attach(decoder);
    made.clear();
    const auto audio = audio_of(c.sent, c.seconds, seed++);
    ASSERT_EQ(made[0].frames, c.frames);
    feed(decoder, audio);
    ASSERT_EQ(got.by_id.size(), c.sent.size()) << c.sent[0].text;
    for (std::size_t k = 0; k < c.sent.size(); ++k) {
      const std::vector<Update>* updates = got.message(made[k].text);
      ASSERT_NE(updates, nullptr);
      const Update& u = updates->back();
      EXPECT_GE(updates->size(), made[k].frames);
      EXPECT_NEAR(u.frequencyHz, c.sent[k].frequency, 3.0f);
      // The measure is meant for weak signals; strong ones read low.
      if (c.sent[k].snr_db < 0) {
        EXPECT_NEAR(u.snrDb, c.sent[k].snr_db, 4.0);
      }
      EXPECT_EQ(u.symbolsChecked, static_cast<int>(59 * made[k].frames));
      EXPECT_GE(u.symbolErrors, 0);
      EXPECT_LT(u.symbolErrors, static_cast<int>(30 * made[k].frames));
    }
  }
}

// A busy band: thirty stations across the 600 Hz the receiver searches, three on the air at a
// time; thirty messages, each whole and on its own frequency.
TEST_F(Receiver, ThirtyStationsAcrossTheBandGiveThirtyMessages) {
  std::vector<Transmission> sent;
  for (int i = 0; i < 30; ++i) {
    sent.push_back({"CQ DE K" + std::to_string(i) + "ABC",
                    1206.0f + 20.0f * float((10 * i + i / 3) % 30), 0.3 + 1.4 * i, 0.0});
  }
  feed(decoder, audio_of(sent, 48.0, 7));
  EXPECT_EQ(got.by_id.size(), sent.size());
  for (std::size_t k = 0; k < sent.size(); ++k) {
    const std::vector<Update>* updates = got.message(made[k].text);
    ASSERT_NE(updates, nullptr);
    // Nearer to its own frequency than to any other station's.
    EXPECT_NEAR(updates->back().frequencyHz, sent[k].frequency, 10.0f) << made[k].text;
  }
}

TEST_F(Receiver, ShowsALostFrameAsDots) {
  Sent s = encode_at_12k(decoder, "ABCDEFGHIJKLMNO", 1500.0f);
  ASSERT_EQ(s.frames, 3u);
  // The middle frame never arrives.
  const std::size_t frame = 59 * 384;
  std::fill(s.audio.begin() + frame, s.audio.begin() + 2 * frame, 0.0f);
  kvol_channel::Channel channel(9 * kRate);
  channel.add_scaled(s.audio, kRate,
                     kvol_channel::gain_for_snr(
                         kvol_channel::mean_power(std::span(s.audio).first(frame)), kSigma, -8.0));
  channel.add_noise(kSigma, 5);
  feed(decoder, channel.quantised());
  ASSERT_EQ(got.by_id.size(), 1u);
  EXPECT_EQ(got.all.back().text, "ABCDE ... KLMNO");
  EXPECT_TRUE(got.all.back().isComplete);
}

// The buffer holds at most 600 s. A message on the air as it wraps still arrives whole under one
// id, and one that ended in the audio kept over the wrap is not shown again.
TEST_F(Receiver, KeepsAMessageWholeAcrossTheSixHundredSecondWrap) {
  constexpr std::size_t kLimit = 7'200'000;
  const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXY";  // five frames from 1 s
  const auto audio = audio_of({{text, 1503.0f, 1.0}, {"K1ABC TU", 1660.0f, 2.0}}, 14.0, 6);
  ASSERT_EQ(made[0].frames, 5u);
  // The buffer wraps in the third frame.
  std::size_t silence = kLimit - static_cast<std::size_t>((1.0 + 2.5 * 1.888) * kRate);
  const std::vector<std::int16_t> block(9000, 0);
  for (; silence > 0; silence -= std::min(silence, block.size())) {
    decoder.append(std::span(block).first(std::min(silence, block.size())));
    decoder.decodePending();
  }
  feed(decoder, audio);
  ASSERT_EQ(got.by_id.size(), 2u);
  for (const Sent& s : made) EXPECT_NE(got.message(s.text), nullptr);
}

// The queue drains in batches of 30 within one decodePending, ids in order.
TEST_F(Receiver, DrainsEveryQueuedResultInOneCall) {
  decoder.append(std::vector<std::int16_t>(1, 0));
  decoder.decodePending();
  for (int i = 0; i < 65; ++i) {
    kvol::frame_decode_record frame;
    frame.frequency = 1400.0f + i;
    frame.time = 0.1f * i;
    frame.snr = 24.5f;
    frame.text = kvol::to_field<kvol::kMessageChars>("TU");
    frame.final = 1;
    ASSERT_TRUE(kvol::start_stream(frame));
  }
  decoder.append(std::vector<std::int16_t>(1, 0));
  decoder.decodePending();
  ASSERT_EQ(got.all.size(), 65u);
  for (std::size_t i = 1; i < got.all.size(); ++i)
    EXPECT_EQ(got.all[i].messageId, got.all[i - 1].messageId + 1);
  EXPECT_EQ(got.all[0].snrDb, 5);  // 24.5 - 20, rounded away from zero
  EXPECT_TRUE(got.all[0].isComplete);
}

std::int16_t clamped(double x) {
  return static_cast<std::int16_t>(std::clamp(x, -32768.0, 32767.0));
}

// Whatever arrives, in blocks of any size from 0 to 10 000 samples (the edges, then random
// ones), nothing crashes and no text comes out.
TEST(ReceiverGarbage, YieldsNoText) {
  std::vector<std::size_t> sizes = {0, 1, 2, 511, 512, 513, 2047, 2048, 2049, 9999, 10000};
  std::mt19937 rng(11);
  while (sizes.size() < 40) sizes.push_back(rng() % 10001);
  const char* names[] = {"silence", "full scale noise", "clipped noise", "dc offset",
                         "loud carrier"};
  for (int kind = 0; kind < 5; ++kind) {
    std::normal_distribution<double> clipped(0.0, 30000.0), offset(12000.0, 300.0);
    std::uniform_int_distribution<int> full(-32768, 32767);
    std::vector<std::int16_t> audio(10 * kRate);
    for (std::size_t i = 0; i < audio.size(); ++i) {
      const double carrier = 32767.0 * std::sin(2.0 * std::acos(-1.0) * 1500.0 * i / kRate);
      const std::int16_t samples[] = {0, static_cast<std::int16_t>(full(rng)),
                                      clamped(clipped(rng)), clamped(offset(rng)),
                                      clamped(carrier)};
      audio[i] = samples[kind];
    }
    KvolDecoder decoder;
    Collector got;
    got.attach(decoder);
    for (std::size_t i = 0, k = 0; i < audio.size(); ++k) {
      const std::size_t n = std::min(sizes[k % sizes.size()], audio.size() - i);
      decoder.append(std::span(audio).subspan(i, n));
      decoder.decodePending();
      decoder.decodePending();  // a second call without new samples decodes nothing new
      i += n;
    }
    EXPECT_TRUE(got.all.empty()) << names[kind] << ": " << got.all.front().text;
  }
}

}  // namespace
