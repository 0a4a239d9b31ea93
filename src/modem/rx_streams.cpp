#include "modem/rx_streams.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "modem/kvol_fatal.h"

namespace kvol {
namespace {

constexpr std::string_view kGapMarker = "~~~~~";
constexpr float kFrameTimeToleranceS = 0.1f;  // a frame's start against where it is due
constexpr float kWidestDriftHz = 16.0f;       // a frame three frame lengths on

// Streams, recent decodes and the result queue of the receive path. The queue and the next id
// outlive resets; the rest starts over with each receive period.
struct RxStreamsState {
  std::array<rx_stream_record, kMaxStreams> streams;
  int stream_count = 0;
  std::int64_t next_id = 1;

  struct RecentDecode {
    float frequency;
    float time;
  };
  std::array<RecentDecode, kRecentDecodeCapacity> recent;
  int recent_count = 0;

  float frame_length = 0.0f;  // s, as the scheduler last gave it

  std::vector<rx_message_record> queue;  // records read..read+count-1 are queued
  int read = 0;
  int queued = 0;
} state;

// Replaces the queue's storage by `records` default records, as the facade's drain expects.
void make_queue_storage(std::vector<rx_message_record>& storage, std::size_t records) {
  try {
    storage.assign(records, rx_message_record{});
  } catch (const std::bad_alloc&) {
    allocation_failed(records * sizeof(rx_message_record));
  }
}

// Blank-padded field of the text, cut to 80 characters.
MessageField field_of(std::string_view text) { return to_field<kMessageChars>(text); }

// Joins pieces of text into a field, dropping what passes its end; built in place so that a
// decode on the capture thread allocates nothing.
class FieldJoiner {
 public:
  void append(std::string_view text) {
    const std::size_t n = std::min(text.size(), field_.size() - length_);
    std::copy_n(text.begin(), n, field_.begin() + length_);
    length_ += n;
  }
  const MessageField& field() const { return field_; }

 private:
  MessageField field_ = blank_field<kMessageChars>();
  std::size_t length_ = 0;
};

void copy_frame_into_record(rx_message_record& record, const rx_stream_record& stream,
                            bool complete) {
  record.frequency = stream.frequency;
  record.text = stream.text;
  record.complete = complete;
  record.snr = stream.snr;
  record.symbol_errors = stream.symbol_errors;
  record.symbols_checked = stream.symbols_checked;
}

}  // namespace

stream_match match_stream(const rx_stream_record& stream, const frame_decode_record& frame,
                          float T) {
  stream_match result;
  const float d_t = frame.time - stream.last_time;
  const float d_f = frame.frequency - stream.frequency;
  const long k = std::lround(d_t / T);
  if (k >= 1 && k <= 3 && std::fabs(d_t - float(k) * T) < 0.1f) {
    if (std::fabs(d_f) < 10.0f + 3.0f * float(k - 1)) {
      result.match = true;
      result.n = int(k);
      return result;
    }
  }
  const float quarter = T / 4.0f;
  const long j = std::lround(d_t / quarter);
  if (std::labs(j) <= 3 && std::fabs(d_f) < 10.0f && std::fabs(d_t - float(j) * quarter) < 0.003f) {
    result.match = true;
    result.same = true;
  }
  return result;
}

// A transmission holds its frequency for the whole of each frame, so nothing else starts there
// meanwhile: what reads as a frame inside one of its frames is that signal read misaligned.
bool inside_a_stream(const frame_decode_record& frame) {
  const float T = state.frame_length;
  if (T <= 0.0f) return false;  // no window decoded yet
  for (int i = 0; i < state.stream_count; ++i) {
    const rx_stream_record& s = state.streams[i];
    if (std::fabs(frame.frequency - s.frequency) < kWidestDriftHz &&
        frame.time > s.first_time - T + kFrameTimeToleranceS &&
        frame.time < s.last_time + T - kFrameTimeToleranceS)
      return true;
  }
  return false;
}

bool start_stream(const frame_decode_record& frame) {
  // A lone frame most of whose symbols disagree with its code is what noise decodes to; a frame
  // that continues a stream where it was due is kept however damaged.
  if (2 * frame.symbol_errors > frame.symbols_checked) return false;
  if (inside_a_stream(frame)) return false;
  if (!frame.final && state.stream_count >= kMaxStreams) return false;
  remember_decode(frame);

  rx_stream_record stream;
  stream.id = state.next_id++;
  stream.frequency = frame.frequency;
  stream.frequency_snr = frame.snr;
  stream.last_time = frame.time;
  stream.first_time = frame.time;
  const std::string_view text = view(frame.text);
  if (text.starts_with("599 ")) {
    // The marker goes again on output (copy_text80).
    FieldJoiner marked;
    marked.append("~");
    marked.append(text);
    stream.text = marked.field();
  } else {
    stream.text = frame.text;
  }
  stream.text_length = int(trimmed(stream.text).size());
  stream.join_flag = frame.join_flag;
  stream.snr = frame.snr;
  stream.symbol_errors = frame.symbol_errors;
  stream.symbols_checked = frame.symbols_checked;

  // Noise decodes to frames with a fifth to a third of their symbols in error, like the weakest
  // true ones; one that is not a whole message waits until a frame continues it.
  stream.reported = frame.final != 0 || 4 * frame.symbol_errors <= frame.symbols_checked;
  if (stream.reported) queue_decoded(stream, frame.final != 0);
  if (!frame.final) state.streams[state.stream_count++] = stream;
  return true;
}

bool extend_stream(int index, const frame_decode_record& frame, int n) {
  if (index < 0 || index >= state.stream_count) return false;
  remember_decode(frame);
  rx_stream_record& stream = state.streams[index];

  const int L = stream.text_length;
  const std::string_view frame_text = view(frame.text);
  const int frame_length = int(trimmed(frame.text).size());
  FieldJoiner text;
  text.append(trimmed(stream.text));
  if (n < 2) {
    const int total = std::min(L + frame_length, kMessageChars);
    const int m = std::max(total - L, 0);
    if (stream.join_flag != 0) text.append(" ");
    text.append(frame_text.substr(0, std::size_t(m)));
    stream.text_length = total;
  } else {
    // Frames were lost: mark the gap, and drop the frame's own leading blank marker.
    const int start = frame_text.starts_with('~') ? 1 : 0;
    const int m = std::max(std::min(frame_length - start + L + 5, kMessageChars) - L - 5, 0);
    text.append(kGapMarker);
    text.append(frame_text.substr(std::size_t(start), std::size_t(m)));
    // A marker that does not fit would push the count past the field.
    stream.text_length = std::min(L + 5 + m, kMessageChars);
  }
  stream.text = text.field();

  if (frame.snr > stream.frequency_snr) {
    stream.frequency = frame.frequency;
    stream.frequency_snr = frame.snr;
  }
  stream.last_time = frame.time;
  stream.join_flag = frame.join_flag;
  stream.snr = frame.snr;
  stream.symbol_errors += frame.symbol_errors;
  stream.symbols_checked += frame.symbols_checked;

  stream.reported = true;
  const rx_stream_record updated = stream;
  queue_decoded(updated, frame.final != 0);
  if (frame.final) remove_stream(index);
  return true;
}

void remove_stream(int index) {
  if (index < 0 || index >= state.stream_count) return;
  const int last = state.stream_count - 1;
  if (index != last) state.streams[index] = state.streams[last];
  state.streams[last] = {};
  --state.stream_count;
}

void expire_streams(float t, float T) {
  state.frame_length = T;
  const float t0 = t - 0.75f * T;
  int kept = 0;
  for (int i = 0; i < state.recent_count; ++i) {
    if (state.recent[i].time >= t0 - 0.05f) state.recent[kept++] = state.recent[i];
  }
  state.recent_count = kept;

  int i = 0;
  while (i < state.stream_count) {
    if (t0 - state.streams[i].last_time > 3.0f * T + 0.1f) {
      if (state.streams[i].reported) queue_decoded(state.streams[i], false);
      remove_stream(i);  // another stream moved into slot i: look at it again
    } else {
      ++i;
    }
  }
}

std::span<const rx_stream_record> active_streams() {
  return std::span<const rx_stream_record>(state.streams.data(), std::size_t(state.stream_count));
}

void queue_decoded(const rx_stream_record& stream, bool complete) {
  for (int i = state.read; i < state.read + state.queued; ++i) {
    if (state.queue[i].id == stream.id) {
      copy_frame_into_record(state.queue[i], stream, complete);
      return;
    }
  }

  if (state.queue.empty()) make_queue_storage(state.queue, kDecodeBatch);
  const int capacity = int(state.queue.size());
  if (state.read + state.queued >= capacity) {
    if (state.queued < capacity) {
      for (int i = 0; i < state.queued; ++i) state.queue[i] = state.queue[state.read + i];
      for (int i = state.queued; i < capacity; ++i) state.queue[i] = {};
    } else {
      std::vector<rx_message_record> grown;
      make_queue_storage(grown, std::size_t(2) * std::size_t(state.queued));
      for (int i = 0; i < state.queued; ++i) grown[i] = state.queue[state.read + i];
      state.queue.swap(grown);
    }
    state.read = 0;
  }

  rx_message_record& record = state.queue[state.read + state.queued];
  ++state.queued;
  record.id = stream.id;
  record.start_time = stream.first_time;
  copy_frame_into_record(record, stream, complete);
}

void remember_decode(const frame_decode_record& frame) {
  if (state.recent_count == kRecentDecodeCapacity) {
    for (int i = 1; i < kRecentDecodeCapacity; ++i) state.recent[i - 1] = state.recent[i];
    --state.recent_count;
  }
  state.recent[state.recent_count++] = {frame.frequency, frame.time};
}

namespace {

bool near_decode(float frequency, float time, const frame_decode_record& frame) {
  return std::fabs(frequency - frame.frequency) < 12.0f && std::fabs(time - frame.time) < 0.05f;
}

}  // namespace

bool is_recent_decode(const frame_decode_record& frame) {
  for (int i = 0; i < state.recent_count; ++i) {
    if (!near_decode(state.recent[i].frequency, state.recent[i].time, frame)) continue;
    for (int k = 0; k < state.stream_count; ++k) {
      rx_stream_record& stream = state.streams[k];
      if (!near_decode(stream.frequency, stream.last_time, frame) || frame.snr <= stream.snr)
        continue;
      stream.last_time = frame.time;
      stream.snr = frame.snr;
      if (frame.snr > stream.frequency_snr) {
        stream.frequency = frame.frequency;
        stream.frequency_snr = frame.snr;
      }
    }
    return true;
  }
  return false;
}

void reset_streams() {
  for (int i = 0; i < state.stream_count; ++i) state.streams[i] = {};
  state.stream_count = 0;
  state.recent_count = 0;
}

MessageField copy_text80(std::string_view text) {
  MessageField field = field_of(text);
  const int length = int(trimmed(field).size());
  if (length > 4) {
    for (int i = 0; i + 4 < length; ++i) {
      if (view(field).substr(std::size_t(i), 5) == kGapMarker) {
        const std::string_view gap = " ... ";
        std::copy(gap.begin(), gap.end(), field.begin() + i);
      }
    }
  }
  for (int i = 0; i < length; ++i) {
    if (field[i] == '~') field[i] = ' ';
  }
  if (field[0] == ' ') {
    std::copy(field.begin() + 1, field.end(), field.begin());
    field[kMessageChars - 1] = ' ';
  }
  return field;
}

int rkvol_take_decodes(rkvol_decodes& out) {
  std::fenv_t environment;
  std::feholdexcept(&environment);

  out.text.fill(blank_field<kMessageChars>());
  out.id.fill(0);
  out.frequency.fill(0.0f);
  out.start_time.fill(0.0f);
  out.complete.fill(0);
  out.snr.fill(0.0f);
  out.symbol_errors.fill(0);
  out.symbols_checked.fill(0);

  const int count = std::min(state.queued, kDecodeBatch);
  for (int i = 0; i < count; ++i) {
    const rx_message_record& record = state.queue[state.read + i];
    out.text[i] = copy_text80(view(record.text));
    out.id[i] = record.id;
    out.frequency[i] = record.frequency;
    out.start_time[i] = record.start_time;
    out.complete[i] = record.complete ? 1 : 0;
    out.snr[i] = record.snr;
    out.symbol_errors[i] = record.symbol_errors;
    out.symbols_checked[i] = record.symbols_checked;
  }
  for (int i = 0; i < count; ++i) state.queue[state.read + i] = {};
  state.read += count;
  state.queued -= count;
  if (state.queued == 0) {
    state.read = 0;
    if (state.queue.size() > std::size_t(kDecodeBatch)) {
      std::vector<rx_message_record> fresh;
      make_queue_storage(fresh, kDecodeBatch);
      state.queue.swap(fresh);
    }
  }

  std::fesetenv(&environment);
  return count;
}

}  // namespace kvol
