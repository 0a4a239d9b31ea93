#include "app/ExitDeadline.h"

#include <unistd.h>

#include <thread>

void endProcessWithin(std::chrono::milliseconds limit, int exitCode) {
  std::thread([limit, exitCode] {
    std::this_thread::sleep_for(limit);
    // Past the stdio locks, which the stuck teardown may hold.
    static constexpr char kNotice[] =
        "palavrix: ending without waiting any longer for a call that does not return\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kNotice, sizeof kNotice - 1);
    _exit(exitCode);
  }).detach();
}
