// A record stream from one source, float32 at the source's own rate and channel count, that
// gathers whatever fragments the server delivers into exact blocks of a fixed number of frames.
// Runs its callbacks on the connection's mainloop thread with the lock held: they must only
// hand the data on, never do the work (the mainloop also serves playback).
#pragma once

#include <pulse/stream.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "audio/pulse/PulseConnection.h"

namespace pulse {

enum class RecordEvent {
  moved,      // the server moved the stream to another source
  suspended,  // the source was suspended; no data until it resumes
  resumed,    // the source resumed with the stream unchanged
  failed,     // the stream failed or ended (source gone, server gone): the error says why
};

class RecordStream {
 public:
  struct Callbacks {
    // Channel 0 of one complete block (blockFrames samples).
    std::function<void(const float* channel0, uint32_t frames)> onBlock;
    std::function<void(RecordEvent event, int error)> onEvent;
  };

  RecordStream(Connection& connection, Callbacks callbacks);
  ~RecordStream();  // disconnects; takes the lock itself

  // Connects to the named source (nullptr: the server's default) and waits until it records.
  // dontMove keeps the stream on a named source: it fails instead of wandering off. Returns 0 or
  // the PulseAudio error code. Caller's thread, without the lock.
  int connect(const char* sourceName, uint32_t rate, uint8_t channels, uint32_t blockFrames,
              bool dontMove);

 private:
  static void onState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, size_t bytes, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void onSuspended(pa_stream* stream, void* self);
  void gather(const uint8_t* data, size_t bytes);
  void disconnect();

  Connection& connection_;
  Callbacks callbacks_;
  pa_stream* stream_ = nullptr;
  bool ready_ = false;  // mainloop thread
  uint32_t channels_ = 0;
  uint32_t blockFrames_ = 0;
  uint32_t frameBytes_ = 0;
  // The block being gathered, interleaved, and how many bytes of it are filled.
  std::vector<float> block_;
  size_t filledBytes_ = 0;
  // Channel 0 of a complete block.
  std::vector<float> channel0_;
};

}  // namespace pulse
