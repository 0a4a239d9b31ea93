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
// A wrap keeps at most this much audio: more than the longest message with a few lost frames.
constexpr auto kCarryLimit = static_cast<std::size_t>(60 * kvol::kRxSampleRate);
// Kept audio reaches this far before the first frame of a stream still on the air.
constexpr float kCarryLeadS = 0.1f;
// A stream found again after a wrap starts within this of where it started before.
constexpr float kCarryToleranceS = 0.1f;
constexpr float kCarryFrequencyHz = 16.0f;  // the widest a stream's next frame may drift
// Fine sync may put a frame a little past the last window's reach.
constexpr float kAnalysedMarginS = 0.01f;
// Two window advances of kept audio per call.
constexpr auto kCatchUpSamples =
    static_cast<std::size_t>(2 * kvol::kSymbolsPerFrame * kvol::kRxSamplesPerSymbol / 4);
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

// What the receiver had when the buffer last wrapped, in the time base after it: the streams
// still on the air with the text they showed, and how far the audio kept had been analysed. Any
// stream found again in that audio is one of those going on, or something shown already.
struct KvolDecoder::Carry {
  struct Stream {
    std::int64_t id = 0;
    float frequency = 0.0f;
    float first_s = 0.0f;
    float last_s = 0.0f;
    kvol::MessageField shown{};
  };
  std::array<Stream, kvol::kMaxStreams> streams;
  int count = 0;
  float analysed_s = -1.0f;  // streams that start before this are found again
  std::size_t samples = 0;   // kept audio at the buffer's front

  const Stream* find(float frequency, float start_s) const {
    for (int i = 0; i < count; ++i) {
      const Stream& s = streams[i];
      if (std::fabs(s.frequency - frequency) < kCarryFrequencyHz &&
          start_s > s.first_s - kCarryToleranceS && start_s < s.last_s + kCarryToleranceS)
        return &s;
    }
    return nullptr;
  }
};

KvolDecoder::KvolDecoder() : carry_(std::make_unique<Carry>()) {}

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

// The audio restarted: nothing before it belongs with what follows.
void KvolDecoder::takeResetRequest() {
  if (!resetRequested_.exchange(false, std::memory_order_acq_rel)) return;
  buffer_.clear();
  *carry_ = Carry{};
  seen_ = 0;
  needsCodecReset_ = true;
}

// Keeps, from a step of the receiver's window grid, the audio from one window before the next
// undecoded one, or from the first frame of a stream still on the air if that is earlier. The
// receiver then decodes it again from scratch, on the same grid, so it finds the same frames.
void KvolDecoder::wrap(std::size_t incoming) {
  *carry_ = Carry{};
  std::size_t from = buffer_.size();
  if (receiving_ && incoming < kBufferLimit) {
    const auto step = static_cast<std::size_t>(kvol::rkvol_step(kvol::kRxSamplesPerSymbol));
    const auto window = static_cast<std::size_t>(kvol::rkvol_window(kvol::kRxSamplesPerSymbol));
    const std::size_t analysed = seen_ >= window ? ((seen_ - window) / step + 1) * step : 0;
    from = analysed >= step ? analysed - step : 0;
    for (const kvol::rx_stream_record& s : kvol::active_streams()) {
      const float lead = (s.first_time - kCarryLeadS) * kvol::kRxSampleRate;
      from = std::min(from, static_cast<std::size_t>(std::max(lead, 0.0f)));
    }
    from = std::min(from / step * step, buffer_.size());
    const std::size_t longest = std::min(kCarryLimit, kBufferLimit - incoming);
    if (buffer_.size() - from > longest) from = (buffer_.size() - longest + step - 1) / step * step;
    from = std::min(from, buffer_.size());

    const float shift_s = static_cast<float>(from) / kvol::kRxSampleRate;
    carry_->analysed_s =
        static_cast<float>(analysed) / kvol::kRxSampleRate - shift_s + kAnalysedMarginS;
    carry_->samples = buffer_.size() - from;
    for (const kvol::rx_stream_record& s : kvol::active_streams()) {
      carry_->streams[carry_->count++] = {s.id, s.frequency, s.first_time - shift_s,
                                          s.last_time - shift_s,
                                          kvol::copy_text80(kvol::view(s.text))};
    }
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(from));
  seen_ = 0;
  needsCodecReset_ = true;
}

void KvolDecoder::append(std::span<const std::int16_t> samples) {
  takeResetRequest();
  if (buffer_.size() + samples.size() > kBufferLimit) wrap(samples.size());
  // The whole 600 s at once, so that appending never moves the buffer while receiving.
  if (buffer_.capacity() == 0) buffer_.reserve(kBufferLimit);
  buffer_.insert(buffer_.end(), samples.begin(), samples.end());
}

void KvolDecoder::resetCodec() {
  const std::int16_t zero = 0;
  kvol::rkvol_sub_entry(&zero, 1, kvol::kRxSamplesPerSymbol, kClampLowHz, kClampHighHz, kCentreHz,
                        kToleranceHz);
}

// A stream the receiver found again in audio kept over a wrap is reported under the id it had
// before, once it goes past what that showed; anything else it finds there was shown already.
void KvolDecoder::report(int index) {
  const kvol::rkvol_decodes& d = *drained_;
  std::int64_t id = d.id[index];
  if (id < 1) return;
  const bool complete = (d.complete[index] & 1) != 0;
  if (d.start_time[index] < carry_->analysed_s) {
    const Carry::Stream* before = carry_->find(d.frequency[index], d.start_time[index]);
    if (before == nullptr) return;
    if (!complete && kvol::trimmed(before->shown).starts_with(kvol::trimmed(d.text[index]))) return;
    id = before->id;
  }
  if (onMessageUpdated) {
    onMessageUpdated(Update{id, received_text(kvol::view(d.text[index])), d.frequency[index],
                            complete, display_snr(d.snr[index]), d.symbol_errors[index],
                            d.symbols_checked[index]});
  }
}

bool KvolDecoder::decodePending() {
  takeResetRequest();
  if (!claimReceiver()) return false;
  if (buffer_.empty()) return true;
  if (needsCodecReset_) {
    resetCodec();
    needsCodecReset_ = false;
    seen_ = 0;
  }
  // Audio kept over a wrap is decoded again a few windows a call, so capture never waits long.
  std::size_t count = buffer_.size();
  if (seen_ < carry_->samples) count = std::min(count, seen_ + kCatchUpSamples);
  if (count < (std::size_t{1} << 31)) {
    kvol::rkvol_sub_entry(buffer_.data(), static_cast<int>(count), kvol::kRxSamplesPerSymbol,
                          kClampLowHz, kClampHighHz, kCentreHz, kToleranceHz);
    seen_ = count;
  }
  int count_drained = 0;
  do {
    count_drained = kvol::rkvol_take_decodes(*drained_);
    if (count_drained < 0 || count_drained > kvol::kDecodeBatch)
      kvol::fatal("decode count out of range");
    for (int i = 0; i < count_drained; ++i) report(i);
  } while (count_drained == kvol::kDecodeBatch);
  return true;
}
