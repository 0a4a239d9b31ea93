// Receive streams and the result queue: decoded frames joined into growing message texts, one
// stream per transmission heard, with gap markers and expiry; every change of a stream is
// queued for the facade to drain. Receive side only: capture thread, one call at a time.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "modem/kvol_constants.h"

namespace kvol {

inline constexpr int kMaxStreams = 30;
inline constexpr int kRecentDecodeCapacity = 480;
inline constexpr int kDecodeBatch = 30;  // results per drain

// One decoded frame as frame decoding hands it on. Times in s since the last reset.
struct frame_decode_record {
  float frequency = 0.0f;  // Hz, tone 0 after fine sync
  float dt = 0.0f;         // frame start within the window
  float time = 0.0f;       // frame start since the last reset
  float snr = 0.0f;        // dB as measured
  std::int32_t symbol_errors = 0;
  std::int32_t symbols_checked = 0;
  MessageField text = blank_field<kMessageChars>();
  std::int32_t join_flag = 0;  // 1: a blank goes before the next frame's text
  std::int32_t final = 0;      // the frame carries the last-frame bit
};

struct rx_stream_record {
  std::int64_t id = 0;
  // Hz, as its strongest frame read it: a frame at the very end or start of a window reads weak
  // and up to about 10 Hz off, and the next one as far the other way.
  float frequency = 0.0f;
  float frequency_snr = 0.0f;  // dB, of that reading
  float last_time = 0.0f;      // s, start of the latest frame
  float first_time = 0.0f;     // s, start of the first frame
  std::int32_t text_length = 0;
  MessageField text = blank_field<kMessageChars>();
  std::int32_t join_flag = 0;
  float snr = 0.0f;  // dB, of the latest frame
  std::int32_t symbol_errors = 0;
  std::int32_t symbols_checked = 0;
  bool reported = false;  // queued at least once
};

struct rx_message_record {
  std::int64_t id = 0;  // the stream's id; 0 for an unused record
  float frequency = 0.0f;
  float start_time = 0.0f;
  MessageField text = blank_field<kMessageChars>();
  bool complete = false;  // the stream ended with its last frame
  float snr = 0.0f;
  std::int32_t symbol_errors = 0;
  std::int32_t symbols_checked = 0;
};

// How a frame relates to a stream: it continues it after a gap of n frame lengths (1 to 3), or
// it is a frame the stream already has (same).
struct stream_match {
  bool match = false;
  bool same = false;
  int n = 1;
};

// T is the frame length in s.
stream_match match_stream(const rx_stream_record& stream, const frame_decode_record& frame,
                          float T);

// Starts a stream with the frame and queues it. Refused (false, nothing recorded) when more than
// half of the frame's symbols are in error, when it lies within a frame of a stream on its
// frequency, or when it is not final and 30 streams are active. A final frame is queued but not
// kept as a stream. A frame that is not final with more than a quarter of its symbols in error
// is queued only once another frame continues its stream; if none does, it is never reported.
bool start_stream(const frame_decode_record& frame);

// Extends active stream `index` (0-based) with the frame after a gap of n frame lengths, queues
// the change, and removes the stream when the frame is final. False for an index out of range.
bool extend_stream(int index, const frame_decode_record& frame, int n);

// Moves the last stream into slot `index`; out-of-range indices are ignored.
void remove_stream(int index);

// t the window's start time, T the frame length: forgets old recent decodes and ends streams
// silent for more than three frames, queuing those reported as incomplete.
void expire_streams(float t, float T);

// The active streams, in table order.
std::span<const rx_stream_record> active_streams();

// Puts the stream's state into the result queue, replacing its undrained record if any.
void queue_decoded(const rx_stream_record& stream, bool complete);

void remember_decode(const frame_decode_record& frame);
// Whether a remembered frame lies within 12 Hz and 0.05 s of this one. When it is a stream's
// latest frame read stronger than before, the stream takes its time and SNR, and its frequency
// when no frame of the stream read stronger.
bool is_recent_decode(const frame_decode_record& frame);

// Forgets the streams and recent decodes; the queue and the next stream id stay.
void reset_streams();

// A stored text formatted for output: "~~~~~" reads " ... ", other "~" blanks, and a single
// leading blank dropped.
MessageField copy_text80(std::string_view text);

// One drain of the result queue: up to 30 results, all fields cleared first.
struct rkvol_decodes {
  std::array<MessageField, kDecodeBatch> text;
  std::array<std::int64_t, kDecodeBatch> id;
  std::array<float, kDecodeBatch> frequency;   // Hz
  std::array<float, kDecodeBatch> start_time;  // s
  std::array<std::uint8_t, kDecodeBatch> complete;
  std::array<float, kDecodeBatch> snr;  // dB as measured
  std::array<std::int32_t, kDecodeBatch> symbol_errors;
  std::array<std::int32_t, kDecodeBatch> symbols_checked;
};

// Fills out from the front of the queue and returns the count (0 to 30); call again while it
// returns 30. The floating-point environment is left as it was found.
int rkvol_take_decodes(rkvol_decodes& out);

}  // namespace kvol
