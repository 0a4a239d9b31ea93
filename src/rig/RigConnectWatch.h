// Bounds Hamlib's connection to a network rig port. Hamlib connects with a blocking connect(): to
// a daemon whose connection queue is full (stopped, or flooded by other programs) or a host that
// drops the packets, it waits out the kernel's two minutes of retries, and once the daemon answers
// again it still waits for the next retry, further and further apart. While a watch stands, its
// thread, found waiting in connect() past the limit, is interrupted by a signal (connect() fails
// with EINTR), so that the operation fails in time and the next one makes a fresh attempt.
// Nothing else the thread waits for (a rig's answer, a serial port) is touched, and no connection
// of our own reaches the daemon. Internal to src/rig; any thread.
#pragma once

#include <chrono>
#include <memory>

// Two tries of the kernel's (the second a second after the first), each with time for its answer.
inline constexpr std::chrono::milliseconds kRigConnectLimit{3000};

class RigConnectWatch {
 public:
  // Watches the calling thread from now until the watch ends.
  explicit RigConnectWatch(std::chrono::milliseconds limit);
  ~RigConnectWatch();
  RigConnectWatch(const RigConnectWatch &) = delete;
  RigConnectWatch &operator=(const RigConnectWatch &) = delete;

  // Whether a connect() of the thread has been interrupted.
  bool interrupted() const;

  struct Watched;

 private:
  std::shared_ptr<Watched> watched_;
};
