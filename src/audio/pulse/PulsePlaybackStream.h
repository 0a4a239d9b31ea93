// A playback stream to one sink, fed by a pull callback on the mainloop thread: the server holds
// seconds of it ahead while the sink itself stays close to what is heard. Writing, flushing and
// corking happen with the connection's lock held.
#pragma once

#include <pulse/stream.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "audio/pulse/PulseConnection.h"

namespace pulse {

// How much audio the server holds for the stream ahead of the sink. A busy machine may keep
// us from writing for a while; the server plays on from what it holds, so only a longer stall
// leaves a gap, and a gap in a continuous-phase signal ruins the frame it falls in.
inline constexpr std::chrono::milliseconds kPlaybackWriteAhead{2000};
// What the sink buffers of the stream, and how much is played between the server's requests
// for more: stopping, and knowing when the last sample has been heard, stay this close.
inline constexpr std::chrono::milliseconds kPlaybackSinkLatency{20};
// How often the played position is asked for while someone waits for a buffer's end.
inline constexpr std::chrono::milliseconds kFollowInterval{10};

class PlaybackStream {
 public:
  struct Callbacks {
    // Fills up to maxFrames frames into the destination and returns how many it filled; fewer
    // than asked means nothing more is queued for now. Mainloop thread (or a caller holding the
    // lock through write()); must not allocate or block.
    std::function<size_t(void* destination, size_t maxFrames)> fill;
    // After each round of writing. Mainloop thread (or the caller of write()), lock held.
    std::function<void()> afterWrite;
    // The stream failed or the server went away. Mainloop thread, lock held.
    std::function<void(int error)> onFailed;
    // The server had nothing left to play while the stream was playing, and it plays again
    // (also at the first start). Mainloop thread, lock held.
    std::function<void()> onUnderflow;
    std::function<void()> onStarted;
    // How many of the frames written so far have not been heard yet (still queued on the server
    // or in the device's buffer), while followPlayback() asks; returns whether to keep
    // following. Mainloop thread, lock held.
    std::function<bool(uint64_t unplayedFrames)> onUnplayed;
  };

  PlaybackStream(Connection& connection, Callbacks callbacks);
  ~PlaybackStream();  // disconnects; takes the lock itself

  // Connects to the named sink (nullptr: the default) and waits until ready. Returns 0 or the
  // PulseAudio error code. Caller's thread, without the lock.
  int connect(const char* sinkName, const pa_sample_spec& spec, bool dontMove);
  // The same without waiting, with the lock held and the connection ready: done runs once on
  // the mainloop thread, lock held, with 0 once the stream is ready or the error code
  // (PA_ERR_TIMEOUT once the timeout has passed); never after the stream is gone. Returns an
  // error when the attempt could not even begin, and done then never runs.
  int startConnect(const char* sinkName, const pa_sample_spec& spec, bool dontMove,
                   std::chrono::milliseconds timeout, std::function<void(int)> done);

  // The rest need the lock held.
  bool isReady() const;
  // About how many written frames the server holds and has not yet played: what it may hold
  // at most, less what it has asked for and not been given yet.
  size_t heldFrames() const;
  // Pulls from fill() as much as the server takes now; starts playback at once when the queue
  // ran dry, so that a short or final piece is not held back waiting for a full buffer.
  void write();
  // Drops what the server holds but has not played.
  void flush();
  void cork(bool corked);
  // Calls done on the mainloop thread once everything written has been played.
  void drain(std::function<void()> done);
  // Reports to onUnplayed about every kFollowInterval until it returns false.
  void followPlayback();
  // The sink the stream plays to: its index (PA_INVALID_INDEX when unknown) and name.
  uint32_t sinkIndex() const;
  std::string sinkName() const;

 private:
  static void onState(pa_stream* stream, void* self);
  static void onWrite(pa_stream* stream, size_t bytes, void* self);
  static void onUnderflow(pa_stream* stream, void* self);
  static void onStarted(pa_stream* stream, void* self);
  static void onTiming(pa_stream* stream, int success, void* self);
  static void onFollowTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  static void onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  int begin(const char* sinkName, const pa_sample_spec& spec, bool dontMove);
  void becameReady();
  void connectFinished(int error);
  void writeSome();
  void requestTiming();
  void followLater();
  void forgetDrain();
  void forgetTiming();
  void disconnect();

  Connection& connection_;
  Callbacks callbacks_;
  pa_stream* stream_ = nullptr;
  pa_sample_spec spec_{};
  size_t frameBytes_ = 0;
  size_t bufferFrames_ = 0;
  bool ready_ = false;
  bool following_ = false;
  pa_operation* drain_ = nullptr;         // the latest drain, until the next or the disconnect
  std::function<void()> drained_;         // what it calls when done
  pa_operation* timing_ = nullptr;        // the timing update under way
  pa_time_event* followTimer_ = nullptr;  // asks for the next one
  // A connection begun with startConnect: what to call when it settles, and its deadline.
  std::function<void(int)> connected_;
  pa_time_event* connectTimer_ = nullptr;
};

}  // namespace pulse
