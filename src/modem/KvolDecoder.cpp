#include "modem/KvolDecoder.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <mutex>

#include "modem/gen_kvolwave.h"
#include "modem/genkvol.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_fatal.h"
#include "modem/kvol_source_codec.h"
#include "modem/kvol_sync_search.h"
#include "modem/rkvol_sub.h"
#include "modem/rx_streams.h"

namespace {

using kvol::kMessageChars;

// The characters encode passes on unchanged; built once, read-only afterwards.
const std::array<bool, 128>& allowed_characters() {
  static const std::array<bool, 128> allowed = [] {
    std::array<bool, 128> set{};
    for (int code = 0; code < kvol::kAlphabetSize; ++code) {
      set[static_cast<unsigned char>(kvol::alphabet_char(code))] = true;
    }
    for (char c = 'a'; c <= 'z'; ++c) set[static_cast<unsigned char>(c)] = true;
    return set;
  }();
  return allowed;
}

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8; every byte that does not start a well-formed sequence becomes U+FFFD.
std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, cp = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    valid = valid && cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    out.push_back(valid ? cp : kReplacement);
    i += valid ? length : 1;
  }
  return out;
}

// Code points that belong to the character before them, so that an accented letter written
// with a combining accent, or an emoji with its modifiers, counts as one character.
bool extends_previous(char32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x0483 && cp <= 0x0489) ||
         (cp >= 0x0591 && cp <= 0x05C7) || (cp >= 0x0610 && cp <= 0x061A) ||
         (cp >= 0x064B && cp <= 0x065F) || cp == 0x0670 || (cp >= 0x06D6 && cp <= 0x06ED) ||
         (cp >= 0x0900 && cp <= 0x0903) || (cp >= 0x093A && cp <= 0x094F) ||
         (cp >= 0x1160 && cp <= 0x11FF) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
         (cp >= 0x1DC0 && cp <= 0x1DFF) || cp == 0x200C || cp == 0x200D ||
         (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE00 && cp <= 0xFE0F) ||
         (cp >= 0xFE20 && cp <= 0xFE2F) || (cp >= 0x1F3FB && cp <= 0x1F3FF) ||
         (cp >= 0xE0020 && cp <= 0xE007F) || (cp >= 0xE0100 && cp <= 0xE01EF);
}

bool is_regional_indicator(char32_t cp) { return cp >= 0x1F1E6 && cp <= 0x1F1FF; }

// The first 80 characters, each outside the allowed set as "#", blank padded.
kvol::MessageField message_bytes(std::string_view utf8Text) {
  const std::u32string points = decode_utf8(utf8Text);
  const auto& allowed = allowed_characters();
  kvol::MessageField message = kvol::blank_field<kMessageChars>();
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < points.size() && count < message.size()) {
    const char32_t first = points[i];
    std::size_t end = i + 1;
    if (first == U'\r' && end < points.size() && points[end] == U'\n') ++end;
    if (is_regional_indicator(first) && end < points.size() && is_regional_indicator(points[end])) {
      ++end;
    }
    while (end < points.size() && (extends_previous(points[end]) || points[end - 1] == 0x200D)) {
      ++end;
    }
    const bool single = end == i + 1;
    message[count++] = single && first < 128 && allowed[first] ? static_cast<char>(first) : '#';
    i = end;
  }
  return message;
}

std::string_view without_blanks_and_tabs(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::int16_t to_sample(float x) {
  const float y = x * 32767.0f;
  if (y <= -32768.0f) return -32768;
  return static_cast<std::int16_t>(std::lround(std::min(y, 32767.0f)));
}

}  // namespace

KvolDecoder::Encoded KvolDecoder::encode(std::string_view utf8Text, float frequencyHz) {
  kvol::MessageField message = message_bytes(utf8Text);
  kvol::MessageTones tones{};
  const int symbols = kvol::kvol_encode_message(message, 0, tones);
  const std::string sentText(without_blanks_and_tabs(kvol::view(message)));
  if (symbols < 1) return {false, sentText, {}};

  // The highest tone must stay below the Nyquist frequency, or the audio is not this signal.
  const float top = frequencyHz + (kvol::kToneCount - 1) * kvol::kTxToneSpacingHz;
  if (!std::isfinite(frequencyHz) || frequencyHz < 0 || top >= kvol::kTxSampleRate / 2) {
    return {false, sentText, {}};
  }

  assert(symbols <= kvol::kMaxTones);
  std::vector<float> wave(static_cast<std::size_t>(symbols) * kvol::kTxSamplesPerSymbol);
  const int nwave = kvol::gen_kvolwave(std::span<const std::int32_t>(tones.data(), symbols),
                                       kvol::kTxSamplesPerSymbol, kvol::kTxBt, kvol::kTxSampleRate,
                                       frequencyHz, wave);
  if (nwave < 1) return {false, sentText, {}};

  std::vector<std::int16_t> samples(static_cast<std::size_t>(nwave));
  for (int k = 0; k < nwave; ++k) samples[k] = to_sample(wave[k]);
  return {true, sentText, std::move(samples)};
}

namespace {

constexpr std::size_t kBufferLimit = 7'200'000;  // 600 s at 12 000 Hz
constexpr int kReceiveNsps = 384;
constexpr int kClampLowHz = 200;
constexpr int kClampHighHz = 2800;
constexpr float kCentreHz = 1500.0f;
constexpr float kToleranceHz = 20.0f;
constexpr float kSnrDisplayOffsetDb = 20.0f;

// A received text field read as ISO Latin-1 into UTF-8, without blanks and tabs at its ends.
std::string received_text(std::string_view field) {
  field = without_blanks_and_tabs(field);
  std::string text;
  text.reserve(field.size());
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return text;
}

int display_snr(float snr) {
  const float db = snr - kSnrDisplayOffsetDb;
  if (!std::isfinite(db)) return -99;
  return static_cast<int>(std::lround(std::clamp(db, -999.0f, 999.0f)));
}

// Which facade holds the process's receiver; nullptr while none does.
struct ReceiverOwner {
  std::mutex lock;
  const KvolDecoder* holder = nullptr;
};

ReceiverOwner& receiver_owner() {
  static ReceiverOwner owner;
  return owner;
}

}  // namespace

KvolDecoder::KvolDecoder() = default;

// The receiver is handed back only after its transform buffers are freed, so the next facade
// to take it cannot be reading them.
KvolDecoder::~KvolDecoder() {
  if (!receiving_) return;
  ReceiverOwner& owner = receiver_owner();
  const std::lock_guard lock(owner.lock);
  kvol::kvol_decoder_release();
  owner.holder = nullptr;
}

// The receiver's streams outlive any one facade, so a facade that takes it starts it afresh
// before its first decode rather than continuing where an earlier one stopped.
bool KvolDecoder::claimReceiver() {
  if (receiving_) return true;
  ReceiverOwner& owner = receiver_owner();
  const std::lock_guard lock(owner.lock);
  if (owner.holder != nullptr) return false;
  owner.holder = this;
  receiving_ = true;
  needsCodecReset_ = true;
  drained_ = std::make_unique<kvol::rkvol_decodes>();
  return true;
}

void KvolDecoder::requestReset() { resetRequested_.store(true, std::memory_order_release); }

void KvolDecoder::takeResetRequest() {
  if (!resetRequested_.exchange(false, std::memory_order_acq_rel)) return;
  buffer_.clear();
  needsCodecReset_ = true;
}

void KvolDecoder::append(std::span<const std::int16_t> samples) {
  takeResetRequest();
  if (buffer_.size() + samples.size() > kBufferLimit) {
    buffer_.clear();
    needsCodecReset_ = true;
  }
  // The whole 600 s at once, so that appending never moves the buffer while receiving.
  if (buffer_.capacity() == 0) buffer_.reserve(kBufferLimit);
  buffer_.insert(buffer_.end(), samples.begin(), samples.end());
}

void KvolDecoder::resetCodec() {
  const std::int16_t zero = 0;
  kvol::rkvol_sub_entry(&zero, 1, kReceiveNsps, kClampLowHz, kClampHighHz, kCentreHz, kToleranceHz);
}

bool KvolDecoder::decodePending() {
  takeResetRequest();
  if (!claimReceiver()) return false;
  if (buffer_.empty()) return true;
  if (needsCodecReset_) {
    resetCodec();
    needsCodecReset_ = false;
  }
  if (buffer_.size() < (std::size_t{1} << 31)) {
    kvol::rkvol_sub_entry(buffer_.data(), static_cast<int>(buffer_.size()), kReceiveNsps,
                          kClampLowHz, kClampHighHz, kCentreHz, kToleranceHz);
  }
  int count = 0;
  do {
    count = kvol::rkvol_take_decodes(*drained_);
    if (count < 0 || count > kvol::kDecodeBatch) kvol::fatal("decode count out of range");
    for (int i = 0; i < count; ++i) {
      const kvol::rkvol_decodes& d = *drained_;
      if (d.id[i] < 1) continue;
      const Update update{d.id[i],
                          received_text(kvol::view(d.text[i])),
                          d.frequency[i],
                          (d.complete[i] & 1) != 0,
                          display_snr(d.snr[i]),
                          d.symbol_errors[i],
                          d.symbols_checked[i]};
      if (onMessageUpdated) onMessageUpdated(update);
    }
  } while (count == kvol::kDecodeBatch);
  return true;
}
