#include "modem/genkvol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "modem/kvol_source_codec.h"
#include "modem/kvol_tbcc_encoder.h"

namespace kvol {
namespace {

PayloadFrame frame_from(std::string_view bits) { return to_field<kPayloadBits>(bits); }

// The known sync pattern, then the coded payload: all zeros for an all-zero payload.
TEST(ToneFrames, SyncThenTheCodedPayload) {
  const std::array<std::int32_t, 13> sync = {0, 2, 2, 3, 0, 0, 3, 2, 1, 3, 1, 2, 0};
  const auto zeros = tone_frame(frame_from(std::string(34, '0')));
  EXPECT_TRUE(std::equal(sync.begin(), sync.end(), zeros.begin()));
  EXPECT_TRUE(std::all_of(zeros.begin() + 13, zeros.end(), [](int t) { return t == 0; }));
  const PayloadFrame frame = *atom_to_frame(atom_call(0, "K1ABC"), true);
  PayloadBits bits{};
  for (int i = 0; i < kPayloadBits; ++i) bits[i] = frame[i] == '1';
  const DataSymbols data = tbcc_encode(bits);
  const auto tones = tone_frame(frame);
  EXPECT_TRUE(std::equal(sync.begin(), sync.end(), tones.begin()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), tones.begin() + kSyncSymbols));
}

TEST(ToneFrames, SixteenFramesFillAllTonesAndFramesThatDoNotFitAreLeftOut) {
  MessageField message = to_field<kMessageChars>(std::string(80, '/'));
  MessageTones tones;
  tones.fill(-1);
  EXPECT_EQ(kvol_encode_message(message, 0, tones), kMaxTones);
  EXPECT_TRUE(std::all_of(tones.begin(), tones.end(), [](int t) { return t >= 0 && t <= 3; }));
  for (int frame = 0; frame < kMaxFrames; ++frame)
    EXPECT_TRUE(std::equal(kSyncTones.begin(), kSyncTones.end(), tones.begin() + 59 * frame));
  const std::array<PayloadFrame, 3> frames = {frame_from(std::string(34, '1')),
                                              frame_from(std::string(34, '0')),
                                              frame_from(std::string(34, '1'))};
  std::array<std::int32_t, 130> some{};
  EXPECT_EQ(genkvol(frames, some), 118);
  EXPECT_EQ(genkvol({}, some), 0);
}

// Nothing to send, or a mode the packer refuses, leaves the tones as they were; the message is
// cleaned either way, and rewritten in mode 2.
TEST(ToneFrames, MessagesAreCleanedAndRefusalsLeaveTonesUntouched) {
  MessageTones tones;
  tones.fill(7);
  MessageField empty = to_field<kMessageChars>("   ~~ ");
  EXPECT_EQ(kvol_encode_message(empty, 0, tones), 0);
  MessageField refused = to_field<kMessageChars>("cq test");
  EXPECT_EQ(kvol_encode_message(refused, 9, tones), 0);
  EXPECT_EQ(trimmed(refused), "CQ TEST");
  EXPECT_TRUE(std::all_of(tones.begin(), tones.end(), [](int t) { return t == 7; }));
  MessageField report = to_field<kMessageChars>("599 5 tu");
  EXPECT_EQ(kvol_encode_message(report, 2, tones), 2 * kSymbolsPerFrame);
  EXPECT_EQ(trimmed(report), "599 005 TU");
}

}  // namespace
}  // namespace kvol
