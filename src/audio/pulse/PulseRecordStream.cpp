#include "audio/pulse/PulseRecordStream.h"

#include <pulse/error.h>

#include <algorithm>
#include <cstring>

namespace pulse {

RecordStream::RecordStream(Connection& connection, Callbacks callbacks)
    : connection_(connection), callbacks_(std::move(callbacks)) {}

RecordStream::~RecordStream() {
  Connection::Lock lock(connection_);
  disconnect();
}

void RecordStream::disconnect() {
  if (!stream_) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_moved_callback(stream_, nullptr, nullptr);
  pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
  stream_ = nullptr;
}

int RecordStream::connect(const char* sourceName, uint32_t rate, uint8_t channels,
                          uint32_t blockFrames, bool dontMove) {
  const auto deadline = Clock::now() + kStepTimeout;
  Connection::Lock lock(connection_);
  disconnect();
  channels_ = channels;
  blockFrames_ = blockFrames;
  frameBytes_ = channels * sizeof(float);
  block_.assign(size_t{blockFrames} * channels, 0.0f);
  channel0_.assign(blockFrames, 0.0f);
  filledBytes_ = 0;
  ready_ = false;

  pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, rate, channels};
  if (!pa_sample_spec_valid(&spec)) return PA_ERR_INVALID;
  stream_ = pa_stream_new(connection_.context(), "Palavrix receive", &spec, nullptr);
  if (!stream_) return connection_.lastError();
  pa_stream_set_state_callback(stream_, &RecordStream::onState, this);
  pa_stream_set_read_callback(stream_, &RecordStream::onRead, this);
  pa_stream_set_moved_callback(stream_, &RecordStream::onMoved, this);
  pa_stream_set_suspended_callback(stream_, &RecordStream::onSuspended, this);

  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // -1: the server's choice
  attributes.fragsize = blockFrames * frameBytes_;
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
  if (dontMove && sourceName) {
    flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
  }
  const bool asked = pa_stream_connect_record(stream_, sourceName, &attributes, flags) >= 0;
  const int error = asked ? connection_.waitUntilReady(stream_, deadline) : connection_.lastError();
  if (error != 0) disconnect();
  return error;
}

void RecordStream::onState(pa_stream* stream, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  const int error = record->connection_.streamStateChanged(stream, record->ready_);
  if (error != 0 && record->callbacks_.onEvent) {
    record->callbacks_.onEvent(RecordEvent::failed, error);
  }
}

void RecordStream::onMoved(pa_stream*, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  if (record->callbacks_.onEvent) record->callbacks_.onEvent(RecordEvent::moved, 0);
}

void RecordStream::onSuspended(pa_stream* stream, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  const RecordEvent event =
      pa_stream_is_suspended(stream) > 0 ? RecordEvent::suspended : RecordEvent::resumed;
  if (record->callbacks_.onEvent) record->callbacks_.onEvent(event, 0);
}

void RecordStream::onRead(pa_stream* stream, size_t, void* self) {
  auto* record = static_cast<RecordStream*>(self);
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    // A hole (data lost before it reached us) is gathered as silence, so time stays true.
    record->gather(static_cast<const uint8_t*>(data), bytes);
    pa_stream_drop(stream);
  }
}

void RecordStream::gather(const uint8_t* data, size_t bytes) {
  const size_t blockBytes = block_.size() * sizeof(float);
  auto* blockStart = reinterpret_cast<uint8_t*>(block_.data());
  while (bytes > 0) {
    const size_t take = std::min(bytes, blockBytes - filledBytes_);
    if (data) {
      std::memcpy(blockStart + filledBytes_, data, take);
      data += take;
    } else {
      std::memset(blockStart + filledBytes_, 0, take);
    }
    filledBytes_ += take;
    bytes -= take;
    if (filledBytes_ == blockBytes) {
      filledBytes_ = 0;
      for (uint32_t frame = 0; frame < blockFrames_; ++frame) {
        channel0_[frame] = block_[size_t{frame} * channels_];
      }
      if (callbacks_.onBlock) callbacks_.onBlock(channel0_.data(), blockFrames_);
    }
  }
}

}  // namespace pulse
