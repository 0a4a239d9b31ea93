#include "audio/pulse/PulseConnection.h"

#include <pulse/error.h>
#include <pulse/operation.h>
#include <pulse/timeval.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

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

namespace {

enum class Presence { listening, absent, unknown };

// Whether anything accepts connections on the unix socket, without waiting for it.
Presence probe(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return Presence::unknown;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Presence::unknown;
  const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  ::close(fd);
  if (result == 0 || error == EAGAIN || error == EINPROGRESS) return Presence::listening;
  if (error == ECONNREFUSED || error == ENOENT || error == ENOTDIR) return Presence::absent;
  return Presence::unknown;
}

// The server's sockets where the client library looks for them: PULSE_SERVER's unix entries,
// else the user's runtime directory and the system-wide one. Any other kind of address can't
// be probed.
Presence serverPresence() {
  std::vector<std::string> paths;
  bool unprobed = false;
  if (const char* server = std::getenv("PULSE_SERVER"); server && *server) {
    std::istringstream entries(server);
    for (std::string entry; entries >> entry;) {
      if (entry.starts_with('{')) entry = entry.substr(std::min(entry.find('}') + 1, entry.size()));
      if (entry.starts_with("unix:")) entry = entry.substr(5);
      if (entry.starts_with('/')) {
        paths.push_back(entry);
      } else {
        unprobed = true;
      }
    }
  } else {
    if (const char* runtime = std::getenv("PULSE_RUNTIME_PATH"); runtime && *runtime) {
      paths.push_back(std::string(runtime) + "/native");
    } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
      paths.push_back(std::string(xdg) + "/pulse/native");
    }
    paths.push_back("/var/run/pulse/native");
  }
  for (const std::string& path : paths) {
    const Presence presence = probe(path);
    if (presence == Presence::listening) return presence;
    if (presence == Presence::unknown) unprobed = true;
  }
  return unprobed || paths.empty() ? Presence::unknown : Presence::absent;
}

}  // namespace

ServerProblem serverProblem(int code) {
  if (code == PA_ERR_TIMEOUT) return ServerProblem::notAnswering;
  if (code != PA_ERR_CONNECTIONREFUSED) return ServerProblem::none;
  switch (serverPresence()) {
    case Presence::listening:
      return ServerProblem::notAnswering;
    case Presence::absent:
      return ServerProblem::notRunning;
    case Presence::unknown:
      break;
  }
  return ServerProblem::none;
}

std::string problemSentence(int code) {
  switch (serverProblem(code)) {
    case ServerProblem::notRunning:
      return "No audio server is running.";
    case ServerProblem::notAnswering:
      return "The audio server does not answer.";
    case ServerProblem::none:
      break;
  }
  return errorSentence(code);
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
    connected_ = nullptr;
    if (connectTimer_) {
      pa_threaded_mainloop_get_api(mainloop_)->time_free(connectTimer_);
      connectTimer_ = nullptr;
    }
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
  if (connection->connected_) {
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
      connection->connectFinished(0);
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
      const int error = pa_context_errno(context);
      connection->connectFinished(error != 0 ? error : PA_ERR_CONNECTIONTERMINATED);
    }
  }
  connection->signal();
}

void Connection::connectFinished(int error) {
  if (connectTimer_) {
    pa_threaded_mainloop_get_api(mainloop_)->time_free(connectTimer_);
    connectTimer_ = nullptr;
  }
  if (const std::function<void(int)> done = std::exchange(connected_, nullptr)) done(error);
}

void Connection::onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                  void* self) {
  static_cast<Connection*>(self)->connectFinished(PA_ERR_TIMEOUT);
}

int Connection::startConnect(std::chrono::milliseconds timeout, std::function<void(int)> done) {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  struct timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
  connected_ = std::move(done);
  connectTimer_ = api->time_new(api, &when, &Connection::onConnectTimeout, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && connected_) {
    // Failed before its state could say so; otherwise done has been told already.
    connected_ = nullptr;
    if (connectTimer_) api->time_free(connectTimer_);
    connectTimer_ = nullptr;
    const int error = lastError();
    return error != 0 ? error : PA_ERR_CONNECTIONREFUSED;
  }
  return 0;
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
