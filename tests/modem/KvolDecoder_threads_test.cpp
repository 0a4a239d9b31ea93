// KvolDecoder used as the program uses it: encode on the UI thread while the capture thread
// appends and decodes, and an audio restart asked for from the UI thread; and facades created
// and destroyed on one thread while another decodes. Built again under ThreadSanitizer (label
// "threads"): the transmit path and the receiver share the waveform generator and the list of
// recent calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kvol_channel.h"
#include "modem/KvolDecoder.h"

namespace {

using kvol_channel::kRate;

// One frame of "K1ABC TU" a second into 5 s of noise, at 12 000 Hz.
std::vector<std::int16_t> received_audio() {
  KvolDecoder encoder;
  const KvolDecoder::Encoded message = encoder.encode("K1ABC TU", 1500.0f);
  kvol_channel::Channel channel(5 * kRate);
  channel.add_signal(kvol_channel::decimate_48k_to_12k(message.samples), kRate, -6.0, 1000.0);
  channel.add_noise(1000.0, 21);
  return channel.quantised();
}

// Feeds the audio in capture-sized blocks; false when a decodePending was refused.
bool feed(KvolDecoder& decoder, const std::vector<std::int16_t>& audio) {
  bool all = true;
  for (std::size_t i = 0; i < audio.size(); i += 512) {
    decoder.append(std::span(audio).subspan(i, std::min<std::size_t>(512, audio.size() - i)));
    all = decoder.decodePending() && all;
  }
  return all;
}

// The capture thread makes three passes over the audio, the UI thread restarting the audio after
// each; meanwhile the UI thread keeps encoding, every time the same samples as on a quiet thread.
TEST(ReceiverThreads, EncodesWhileTheCaptureThreadDecodes) {
  KvolDecoder decoder;
  const std::vector<std::int16_t> audio = received_audio();
  const std::vector<std::string> texts = {"CQ DX DE W1AW", "TU 73", "599 005 TU", "hello world"};
  std::vector<std::vector<std::int16_t>> quiet;
  for (const std::string& text : texts) quiet.push_back(decoder.encode(text, 1500.0f).samples);

  std::vector<std::string> received;  // by the capture thread until it is joined
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) { received.push_back(u.text); };
  std::atomic<int> passes{0}, restarts{0};
  std::thread capture([&] {
    for (int pass = 1; pass <= 3; ++pass) {
      EXPECT_TRUE(feed(decoder, audio));
      passes.store(pass);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (restarts.load() < pass && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    }
  });
  for (std::size_t encodes = 0; restarts.load() < 3; ++encodes) {
    const std::size_t k = encodes % texts.size();
    EXPECT_TRUE(decoder.encode(texts[k], 1500.0f).samples == quiet[k]) << texts[k];
    // A new call each time reorders the recent calls, which the receiver reads as it decodes.
    const std::string call = "K" + std::to_string(encodes % 10) + char('A' + encodes / 10 % 26);
    EXPECT_TRUE(decoder.encode("CQ DE " + call + "Z", 1500.0f).ok);
    if (passes.load() > restarts.load()) {
      decoder.requestReset();
      restarts.fetch_add(1);
    }
  }
  capture.join();
  for (const std::string& text : received)
    EXPECT_EQ(std::string("K1ABC TU").rfind(text, 0), 0u) << text;
  EXPECT_EQ(std::count(received.begin(), received.end(), "K1ABC TU"), 3);
}

// Facades made and dropped on another thread never disturb the one that receives: theirs are
// refused, their encodes work, and once the receiver is gone the next facade receives afresh.
TEST(ReceiverThreads, FacadesComeAndGoWhileOneReceives) {
  const std::vector<std::int16_t> audio = received_audio();
  const std::vector<std::int16_t> block(audio.begin(), audio.begin() + 512);
  auto receiver = std::make_unique<KvolDecoder>();
  std::vector<std::string> received;
  receiver->onMessageUpdated = [&](const KvolDecoder::Update& u) { received.push_back(u.text); };
  ASSERT_TRUE(receiver->decodePending());

  std::atomic<bool> capture_done{false};
  std::thread capture([&] {
    EXPECT_TRUE(feed(*receiver, audio));
    capture_done.store(true);
  });
  for (int churned = 0; !capture_done.load() || churned < 3; ++churned) {
    KvolDecoder other;
    EXPECT_TRUE(other.encode("TU 73", 1500.0f).ok);
    other.append(block);
    EXPECT_FALSE(other.decodePending());
  }
  capture.join();
  EXPECT_NE(std::find(received.begin(), received.end(), "K1ABC TU"), received.end());

  receiver.reset();
  KvolDecoder next;
  std::vector<std::string> heard;
  next.onMessageUpdated = [&](const KvolDecoder::Update& u) { heard.push_back(u.text); };
  EXPECT_TRUE(feed(next, audio));
  EXPECT_NE(std::find(heard.begin(), heard.end(), "K1ABC TU"), heard.end());
}

}  // namespace
