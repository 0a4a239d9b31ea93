#include "audio/pulse/PulsePlaybackStream.h"

#include <pulse/error.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace pulse {

PlaybackStream::PlaybackStream(Connection& connection, Callbacks callbacks)
    : connection_(connection), callbacks_(std::move(callbacks)) {}

PlaybackStream::~PlaybackStream() {
  Connection::Lock lock(connection_);
  disconnect();
}

void PlaybackStream::disconnect() {
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_write_callback(stream_, nullptr, nullptr);
  pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
  pa_stream_set_started_callback(stream_, nullptr, nullptr);
  forgetDrain();
  forgetTiming();
  connected_ = nullptr;
  if (connectTimer_) {
    pa_threaded_mainloop_get_api(connection_.mainloop())->time_free(connectTimer_);
    connectTimer_ = nullptr;
  }
  if (followTimer_) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection_.mainloop());
    api->time_free(followTimer_);
    followTimer_ = nullptr;
  }
  following_ = false;
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
  ready_ = false;
  bufferFrames_ = 0;
}

int PlaybackStream::begin(const char* sinkName, const pa_sample_spec& spec, bool dontMove) {
  disconnect();
  if (!pa_sample_spec_valid(&spec)) return PA_ERR_INVALID;
  spec_ = spec;
  frameBytes_ = pa_frame_size(&spec);
  stream_ = pa_stream_new(connection_.context(), "Palavrix transmit", &spec, nullptr);
  if (!stream_) return connection_.lastError();
  pa_stream_set_state_callback(stream_, &PlaybackStream::onState, this);
  pa_stream_set_write_callback(stream_, &PlaybackStream::onWrite, this);
  pa_stream_set_underflow_callback(stream_, &PlaybackStream::onUnderflow, this);
  pa_stream_set_started_callback(stream_, &PlaybackStream::onStarted, this);

  auto bytes = [&spec](std::chrono::milliseconds duration) {
    return static_cast<uint32_t>(pa_usec_to_bytes(
        std::chrono::duration_cast<std::chrono::microseconds>(duration).count(), &spec));
  };
  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // -1: the server's choice
  attributes.tlength = bytes(kPlaybackWriteAhead);
  attributes.minreq = bytes(kPlaybackSinkLatency);
  // Early requests ask the sink for a latency of one request; otherwise the server would derive
  // the sink's latency from the long buffer.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_EARLY_REQUESTS | PA_STREAM_START_CORKED);
  if (dontMove && sinkName) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_playback(stream_, sinkName, &attributes, flags, nullptr, nullptr) < 0) {
    const int error = connection_.lastError();
    disconnect();
    return error != 0 ? error : PA_ERR_UNKNOWN;
  }
  return 0;
}

void PlaybackStream::becameReady() {
  const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
  bufferFrames_ = granted ? granted->tlength / frameBytes_ : 0;
}

int PlaybackStream::connect(const char* sinkName, const pa_sample_spec& spec, bool dontMove) {
  const auto deadline = Clock::now() + kStepTimeout;
  Connection::Lock lock(connection_);
  int error = begin(sinkName, spec, dontMove);
  if (error == 0) error = connection_.waitUntilReady(stream_, deadline);
  if (error != 0) {
    disconnect();
    return error;
  }
  becameReady();
  return 0;
}

int PlaybackStream::startConnect(const char* sinkName, const pa_sample_spec& spec, bool dontMove,
                                 std::chrono::milliseconds timeout, std::function<void(int)> done) {
  if (const int error = begin(sinkName, spec, dontMove); error != 0) return error;
  connected_ = std::move(done);
  connectTimer_ = pa_context_rttime_new(
      connection_.context(),
      pa_rtclock_now() + std::chrono::duration_cast<std::chrono::microseconds>(timeout).count(),
      &PlaybackStream::onConnectTimeout, this);
  return 0;
}

void PlaybackStream::connectFinished(int error) {
  if (connectTimer_) {
    pa_threaded_mainloop_get_api(connection_.mainloop())->time_free(connectTimer_);
    connectTimer_ = nullptr;
  }
  if (error == 0) becameReady();
  if (const std::function<void(int)> done = std::exchange(connected_, nullptr)) done(error);
}

void PlaybackStream::onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                      void* self) {
  static_cast<PlaybackStream*>(self)->connectFinished(PA_ERR_TIMEOUT);
}

bool PlaybackStream::isReady() const {
  return stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

void PlaybackStream::onState(pa_stream* stream, void* self) {
  auto* playback = static_cast<PlaybackStream*>(self);
  if (playback->connected_) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
      playback->connectFinished(0);
    } else if (!PA_STREAM_IS_GOOD(state)) {
      const int error = pa_context_errno(playback->connection_.context());
      playback->connectFinished(error != 0 ? error : PA_ERR_UNKNOWN);
    }
  }
  const int error = playback->connection_.streamStateChanged(stream, playback->ready_);
  if (error != 0 && playback->callbacks_.onFailed) playback->callbacks_.onFailed(error);
}

void PlaybackStream::onWrite(pa_stream*, size_t, void* self) {
  static_cast<PlaybackStream*>(self)->write();
}

size_t PlaybackStream::heldFrames() const {
  if (!isReady()) return 0;
  const size_t writable = pa_stream_writable_size(stream_);
  if (writable == static_cast<size_t>(-1)) return 0;
  return bufferFrames_ - std::min(bufferFrames_, writable / frameBytes_);
}

void PlaybackStream::onUnderflow(pa_stream*, void* self) {
  auto* playback = static_cast<PlaybackStream*>(self);
  if (playback->callbacks_.onUnderflow) playback->callbacks_.onUnderflow();
}

void PlaybackStream::onStarted(pa_stream*, void* self) {
  auto* playback = static_cast<PlaybackStream*>(self);
  if (playback->callbacks_.onStarted) playback->callbacks_.onStarted();
}

void PlaybackStream::write() {
  writeSome();
  if (callbacks_.afterWrite) callbacks_.afterWrite();
}

void PlaybackStream::writeSome() {
  if (!isReady()) return;
  size_t writable = pa_stream_writable_size(stream_);
  while (writable >= frameBytes_) {
    void* destination = nullptr;
    size_t bytes = writable;
    if (pa_stream_begin_write(stream_, &destination, &bytes) < 0 || !destination) return;
    const size_t frames = callbacks_.fill(destination, bytes / frameBytes_);
    if (frames == 0) {
      pa_stream_cancel_write(stream_);
      pa_operation* trigger = pa_stream_trigger(stream_, nullptr, nullptr);
      if (trigger) pa_operation_unref(trigger);
      return;
    }
    if (pa_stream_write(stream_, destination, frames * frameBytes_, nullptr, 0, PA_SEEK_RELATIVE) <
        0) {
      return;
    }
    writable -= frames * frameBytes_;
    if (frames * frameBytes_ < bytes) {
      pa_operation* trigger = pa_stream_trigger(stream_, nullptr, nullptr);
      if (trigger) pa_operation_unref(trigger);
      return;
    }
  }
}

void PlaybackStream::flush() {
  if (!isReady()) return;
  pa_operation* operation = pa_stream_flush(stream_, nullptr, nullptr);
  if (operation) pa_operation_unref(operation);
}

void PlaybackStream::cork(bool corked) {
  if (!isReady()) return;
  pa_operation* operation = pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr);
  if (operation) pa_operation_unref(operation);
}

void PlaybackStream::drain(std::function<void()> done) {
  if (!isReady()) return;
  // The server answers only the latest drain of a stream, so one still unanswered is cancelled
  // and its callback runs with the new one's, which ends after all that it waited for.
  if (drain_ && pa_operation_get_state(drain_) == PA_OPERATION_RUNNING) {
    done = [earlier = std::move(drained_), later = std::move(done)] {
      if (earlier) earlier();
      if (later) later();
    };
  }
  forgetDrain();
  drained_ = std::move(done);
  drain_ = pa_stream_drain(
      stream_,
      [](pa_stream*, int, void* self) {
        auto* playback = static_cast<PlaybackStream*>(self);
        if (playback->drained_) playback->drained_();
      },
      this);
}

void PlaybackStream::forgetDrain() {
  if (!drain_) return;
  // Cancelled, its reply can no longer call back into this object.
  if (pa_operation_get_state(drain_) == PA_OPERATION_RUNNING) pa_operation_cancel(drain_);
  pa_operation_unref(drain_);
  drain_ = nullptr;
}

void PlaybackStream::followPlayback() {
  if (following_ || !isReady()) return;
  following_ = true;
  requestTiming();
}

void PlaybackStream::requestTiming() {
  forgetTiming();
  timing_ = pa_stream_update_timing_info(stream_, &PlaybackStream::onTiming, this);
  if (!timing_) following_ = false;  // the stream is failing: onFailed follows
}

void PlaybackStream::onTiming(pa_stream* stream, int success, void* self) {
  auto* playback = static_cast<PlaybackStream*>(self);
  const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
  if (timing && !timing->write_index_corrupt && !timing->read_index_corrupt) {
    // What the server holds beyond its read position and what the device's own buffer holds.
    // Once the stream has run dry everything has gone to the device, as a drain would say.
    const int64_t queued = timing->write_index - timing->read_index;
    const int64_t sinkBytes =
        static_cast<int64_t>(pa_usec_to_bytes(timing->sink_usec, &playback->spec_));
    const int64_t unplayedBytes =
        !timing->playing && queued <= 0 ? 0 : std::max<int64_t>(0, queued + sinkBytes);
    const uint64_t frames = static_cast<uint64_t>(unplayedBytes) / playback->frameBytes_;
    if (!playback->callbacks_.onUnplayed || !playback->callbacks_.onUnplayed(frames)) {
      playback->following_ = false;
      return;
    }
  }
  playback->followLater();
}

void PlaybackStream::followLater() {
  const pa_usec_t at =
      pa_rtclock_now() +
      std::chrono::duration_cast<std::chrono::microseconds>(kFollowInterval).count();
  if (followTimer_) {
    pa_context_rttime_restart(connection_.context(), followTimer_, at);
  } else {
    followTimer_ =
        pa_context_rttime_new(connection_.context(), at, &PlaybackStream::onFollowTimer, this);
  }
  if (!followTimer_) following_ = false;
}

void PlaybackStream::onFollowTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                   void* self) {
  auto* playback = static_cast<PlaybackStream*>(self);
  if (playback->following_ && playback->isReady()) playback->requestTiming();
}

void PlaybackStream::forgetTiming() {
  if (!timing_) return;
  // Cancelled, its reply can no longer call back into this object.
  if (pa_operation_get_state(timing_) == PA_OPERATION_RUNNING) pa_operation_cancel(timing_);
  pa_operation_unref(timing_);
  timing_ = nullptr;
}

uint32_t PlaybackStream::sinkIndex() const {
  if (!isReady()) return PA_INVALID_INDEX;
  return pa_stream_get_device_index(stream_);
}

std::string PlaybackStream::sinkName() const {
  if (!isReady()) return {};
  const char* name = pa_stream_get_device_name(stream_);
  return name ? name : "";
}

}  // namespace pulse
