// One connection to the PulseAudio server: a threaded mainloop of its own and a context on it.
// Made and destroyed on the caller's thread (never on its own mainloop thread); every wait has a
// deadline, so a server that is missing or hung costs a bounded time, never a hang.
#pragma once

#include <pulse/context.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <chrono>
#include <functional>
#include <string>

namespace pulse {

// How long one synchronous step (connect, a query, a stream connect) may take.
inline constexpr std::chrono::milliseconds kStepTimeout{3000};

using Clock = std::chrono::steady_clock;

// pa_strerror text of a PulseAudio error code.
std::string errorText(int code);
// The same as a sentence, for messages that people read: PulseAudio's texts have no full stop.
std::string errorSentence(int code);

// What a failed connection or request says about the server itself. A refusal means no server
// only where nothing listens where the client library looks for one: a stopped or swamped server
// still listens, and refuses once its backlog of unanswered connections is full.
enum class ServerProblem { none, notRunning, notAnswering };
ServerProblem serverProblem(int code);
// The error as a sentence for people, saying that no audio server is running or that it does
// not answer where that is what the error means.
std::string problemSentence(int code);

class Connection {
 public:
  // A started mainloop with an unconnected context. clientName names us on the server.
  explicit Connection(const char* clientName);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects without autospawning a server and waits until the context is ready. Returns 0, or
  // the PulseAudio error code (PA_ERR_TIMEOUT when the deadline passed). Caller's thread,
  // without the lock.
  int connect(std::chrono::milliseconds timeout = kStepTimeout);
  // The same without waiting, with the lock held: done runs once on the mainloop thread, lock
  // held, with 0 when the context is ready or the error code (PA_ERR_TIMEOUT once the timeout
  // has passed); never after the connection is gone. Returns an error when the attempt could
  // not even begin, and done then never runs.
  int startConnect(std::chrono::milliseconds timeout, std::function<void(int)> done);

  // Called on the mainloop thread, with the lock held, when a ready context fails or the
  // server goes away; the argument is the PulseAudio error code. Set before connect.
  std::function<void(int)> onLost;

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  int lastError() const;

  // The mainloop lock. Never held across a call that may block on the main thread.
  class Lock {
   public:
    explicit Lock(const Connection& connection) : mainloop_(connection.mainloop_) {
      pa_threaded_mainloop_lock(mainloop_);
    }
    ~Lock() { pa_threaded_mainloop_unlock(mainloop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* mainloop_;
  };

  // With the lock held: waits until done() is true or the deadline passes; returns done().
  // Callbacks that change what done() reads must call signal().
  bool waitUntil(const std::function<bool()>& done, Clock::time_point deadline);
  // Waits for an operation to finish (unreferencing it); false when the deadline passed, in
  // which case the operation is cancelled. With the lock held.
  bool waitFor(pa_operation* operation, Clock::time_point deadline);
  // Wakes waitUntil. Mainloop thread.
  void signal() { pa_threaded_mainloop_signal(mainloop_, 0); }

  // With the lock held, once the stream has been asked to connect: waits until it is ready.
  // Returns 0 or the PulseAudio error code (PA_ERR_TIMEOUT when the deadline passed).
  int waitUntilReady(pa_stream* stream, Clock::time_point deadline);
  // For a stream's state callback: wakes waitUntil and returns the error when a stream that was
  // ready (wasReady, which it keeps up to date) has failed or ended, otherwise 0.
  int streamStateChanged(pa_stream* stream, bool& wasReady);

 private:
  static void onContextState(pa_context* context, void* self);
  static void onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
  void connectFinished(int error);

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool wasReady_ = false;  // mainloop thread, under the lock
  // A connection begun with startConnect: what to call when it settles, and its deadline.
  std::function<void(int)> connected_;
  pa_time_event* connectTimer_ = nullptr;
};

}  // namespace pulse
