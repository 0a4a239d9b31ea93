#include "modem/genkvol.h"

#include <algorithm>

#include "modem/kvol_tbcc_encoder.h"

namespace kvol {

std::array<std::int32_t, kSymbolsPerFrame> tone_frame(const PayloadFrame& frame) {
  PayloadBits payload{};
  for (int i = 0; i < kPayloadBits; ++i) payload[i] = frame[i] == '1' ? 1 : 0;
  const DataSymbols data = tbcc_encode(payload);
  std::array<std::int32_t, kSymbolsPerFrame> tones{};
  std::copy(kSyncTones.begin(), kSyncTones.end(), tones.begin());
  std::copy(data.begin(), data.end(), tones.begin() + kSyncSymbols);
  return tones;
}

int genkvol(std::span<const PayloadFrame> frames, std::span<std::int32_t> tones) {
  std::size_t count = 0;
  for (const PayloadFrame& frame : frames) {
    if (count + kSymbolsPerFrame > tones.size()) break;
    const auto frameTones = tone_frame(frame);
    std::copy(frameTones.begin(), frameTones.end(), tones.begin() + count);
    count += kSymbolsPerFrame;
  }
  return static_cast<int>(count);
}

int kvol_encode_message(MessageField& message, int mode, MessageTones& tones) {
  MessageFrames frames;
  const int frameCount = pack_message_frames(message, frames, mode);
  if (frameCount <= 0) return 0;
  return genkvol(std::span<const PayloadFrame>(frames.data(), frameCount), tones);
}

}  // namespace kvol
