#include "modem/KvolDecoder.h"

#include <utf8proc.h>

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

constexpr utf8proc_int32_t kReplacement = 0xFFFD;
constexpr char kNotSent = '#';  // what stands for a character outside the allowed set

// The first 80 user-perceived characters (Unicode grapheme clusters: an accented letter written
// with a combining accent, or an emoji with its modifiers, is one), each outside the allowed set
// as "#", blank padded. Every byte that does not start a well-formed UTF-8 sequence counts as
// one character on its own.
kvol::MessageField message_bytes(std::string_view utf8Text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8Text.data());
  const auto size = static_cast<utf8proc_ssize_t>(utf8Text.size());
  const auto& allowed = allowed_characters();
  kvol::MessageField message = kvol::blank_field<kMessageChars>();
  std::size_t count = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t break_state = 0;
  bool single = false;  // the current character is one code point so far
  char first = 0;       // and its byte when it is one of the allowed set
  for (utf8proc_ssize_t i = 0; i < size;) {
    utf8proc_int32_t cp = 0;
    const utf8proc_ssize_t length = utf8proc_iterate(bytes + i, size - i, &cp);
    const bool valid = length > 0;
    if (!valid) cp = kReplacement;
    i += valid ? length : 1;
    if (previous >= 0 && !utf8proc_grapheme_break_stateful(previous, cp, &break_state)) {
      single = false;
      previous = cp;
      continue;
    }
    if (previous >= 0) {
      message[count++] = single ? first : kNotSent;
      if (count == message.size()) return message;
    }
    previous = cp;
    single = true;
    first = cp < 128 && allowed[cp] ? static_cast<char>(cp) : kNotSent;
  }
  if (previous >= 0) message[count] = single ? first : kNotSent;
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

constexpr auto kBufferLimit = static_cast<std::size_t>(600 * kvol::kRxSampleRate);
constexpr int kClampLowHz = 200;
constexpr int kClampHighHz = 2800;
constexpr float kCentreHz = 1500.0f;
constexpr float kToleranceHz = 20.0f;
constexpr float kSnrDisplayOffsetDb = 20.0f;

// A received text field read as ISO Latin-1 into UTF-8, without blanks and tabs at its ends.
std::string received_text(std::string_view field) {
  field = without_blanks_and_tabs(field);
  std::string text;
  text.reserve(2 * field.size());
  for (const char c : field) {
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t length =
        utf8proc_encode_char(static_cast<unsigned char>(c), encoded);  // Latin-1 is U+0000..U+00FF
    text.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
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
  kvol::rkvol_sub_entry(&zero, 1, kvol::kRxSamplesPerSymbol, kClampLowHz, kClampHighHz, kCentreHz,
                        kToleranceHz);
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
    kvol::rkvol_sub_entry(buffer_.data(), static_cast<int>(buffer_.size()),
                          kvol::kRxSamplesPerSymbol, kClampLowHz, kClampHighHz, kCentreHz,
                          kToleranceHz);
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
