// KvolDecoder used as the program uses it: encode on the UI thread while the capture thread
// appends and decodes, and an audio restart asked for from the UI thread; and facades created
// and destroyed on one thread while another decodes. Built again under ThreadSanitizer (label
// "threads").
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
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
  EXPECT_TRUE(message.ok);
  kvol_channel::Channel channel(5 * kRate);
  channel.add_signal(kvol_channel::decimate_48k_to_12k(message.samples), kRate, -6.0, 1000.0);
  channel.add_noise(1000.0, 21);
  return channel.quantised();
}

// Feeds the audio in capture-sized blocks; false when a decodePending was refused.
bool feed(KvolDecoder& decoder, const std::vector<std::int16_t>& audio) {
  bool all = true;
  for (std::size_t i = 0; i < audio.size(); i += 512) {
    const std::size_t n = std::min<std::size_t>(512, audio.size() - i);
    decoder.append(std::span<const std::int16_t>(audio.data() + i, n));
    all = decoder.decodePending() && all;
  }
  return all;
}

TEST(ReceiverThreads, EncodesWhileTheCaptureThreadDecodes) {
  KvolDecoder decoder;
  const std::vector<std::int16_t> audio = received_audio();

  std::mutex received_lock;
  std::vector<std::string> received;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) {
    const std::lock_guard lock(received_lock);
    received.push_back(u.text);
  };

  std::atomic<bool> capture_done{false};
  std::atomic<int> passes{0};
  std::atomic<int> restarts{0};
  std::thread capture([&] {
    // Three passes over the audio, the UI restarting the audio between them.
    for (int pass = 1; pass <= 3; ++pass) {
      EXPECT_TRUE(feed(decoder, audio));
      passes.store(pass);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (restarts.load() < pass && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    }
    capture_done.store(true);
  });

  // The UI thread: keeps encoding, and restarts the audio after each pass.
  int encodes = 0;
  const std::vector<std::string> texts = {"CQ DX DE W1AW", "TU 73", "599 005 TU", "hello world"};
  while (!capture_done.load()) {
    const KvolDecoder::Encoded e = decoder.encode(texts[encodes % texts.size()], 1500.0f);
    EXPECT_TRUE(e.ok);
    EXPECT_FALSE(e.samples.empty());
    ++encodes;
    if (passes.load() > restarts.load()) {
      decoder.requestReset();
      restarts.fetch_add(1);
    }
  }
  capture.join();
  EXPECT_GT(encodes, 0);

  // Every pass holds the message once, each after a restart of the time base.
  const std::lock_guard lock(received_lock);
  int complete = 0;
  for (const std::string& text : received) {
    EXPECT_EQ(std::string("K1ABC TU").rfind(text, 0), 0u) << text;
    if (text == "K1ABC TU") ++complete;
  }
  EXPECT_EQ(complete, 3);
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
  int churned = 0;
  while (!capture_done.load() || churned < 3) {
    KvolDecoder other;
    EXPECT_TRUE(other.encode("TU 73", 1500.0f).ok);
    other.append(block);
    EXPECT_FALSE(other.decodePending());
    ++churned;
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
