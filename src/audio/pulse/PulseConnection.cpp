#include "audio/pulse/PulseConnection.h"

#include <pulse/error.h>
#include <pulse/operation.h>
#include <pulse/timeval.h>

#include <cstdio>
#include <cstdlib>

namespace pulse {

std::string errorText(int code) {
  const char* text = pa_strerror(code);
  return text ? std::string(text) : std::string("Unknown error code");
}

std::string errorSentence(int code) {
  std::string text = errorText(code);
  if (!text.ends_with('.')) text += '.';
  return text;
}

Connection::Connection(const char* clientName) {
  mainloop_ = pa_threaded_mainloop_new();
  if (!mainloop_) {
    std::fprintf(stderr, "Error creating the PulseAudio mainloop\n");
    std::abort();
  }
  pa_threaded_mainloop_set_name(mainloop_, "palavrix-pulse");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), clientName);
  if (!context_) {
    std::fprintf(stderr, "Error creating a PulseAudio context\n");
    std::abort();
  }
  pa_context_set_state_callback(context_, &Connection::onContextState, this);
  if (pa_threaded_mainloop_start(mainloop_) < 0) {
    std::fprintf(stderr, "Error starting the PulseAudio mainloop thread\n");
    std::abort();
  }
}

Connection::~Connection() {
  {
    Lock lock(*this);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
}

void Connection::onContextState(pa_context* context, void* self) {
  auto* connection = static_cast<Connection*>(self);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      connection->wasReady_ = true;
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      if (connection->wasReady_) {
        connection->wasReady_ = false;
        if (connection->onLost) connection->onLost(pa_context_errno(context));
      }
      break;
    default:
      break;
  }
  connection->signal();
}

int Connection::connect(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Lock lock(*this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return lastError();
  }
  const bool settled = waitUntil(
      [this] {
        const pa_context_state_t state = pa_context_get_state(context_);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      },
      deadline);
  if (!settled) return PA_ERR_TIMEOUT;
  if (pa_context_get_state(context_) == PA_CONTEXT_READY) return 0;
  const int error = lastError();
  return error != 0 ? error : PA_ERR_CONNECTIONTERMINATED;
}

int Connection::lastError() const { return pa_context_errno(context_); }

namespace {
void signalOnTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* mainloop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(mainloop), 0);
}
}  // namespace

bool Connection::waitUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  if (done()) return true;
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return false;
  // A timer on the mainloop wakes the wait at the deadline; the wait itself has no timeout.
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  struct timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1000);
  pa_time_event* timer = api->time_new(api, &when, &signalOnTimeout, mainloop_);
  while (!done() && Clock::now() < deadline) pa_threaded_mainloop_wait(mainloop_);
  api->time_free(timer);
  return done();
}

int Connection::waitUntilReady(pa_stream* stream, Clock::time_point deadline) {
  const bool settled = waitUntil(
      [stream] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
      },
      deadline);
  if (settled && pa_stream_get_state(stream) == PA_STREAM_READY) return 0;
  const int error = settled ? lastError() : PA_ERR_TIMEOUT;
  return error != 0 ? error : PA_ERR_UNKNOWN;
}

int Connection::streamStateChanged(pa_stream* stream, bool& wasReady) {
  signal();
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) wasReady = true;
  if (!wasReady || (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)) return 0;
  wasReady = false;
  const int error = pa_context_errno(context_);
  return error != 0 ? error : PA_ERR_KILLED;
}

bool Connection::waitFor(pa_operation* operation, Clock::time_point deadline) {
  if (!operation) return false;
  const bool finished = waitUntil(
      [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, deadline);
  if (!finished) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return finished;
}

}  // namespace pulse
