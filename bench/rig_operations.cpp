// How long each rig operation takes, each with its own open and close: against Hamlib's dummy
// rig (model 1) and through the network model (2) against a rigctld serving the dummy rig,
// which this program starts on a free loopback port. "open_ms" is the part from the first
// message of an operation to "Rig opened.". Push-to-talk timing in sending depends on these.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "rig/RigBridge.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Times the open from the bridge's own messages; everything else is dropped.
struct OpenTimer {
  static inline Clock::time_point started;
  static inline std::atomic<double> totalSeconds{0};
  static inline std::atomic<int> opens{0};
  static void sink(int, const char *text, int fromApp) {
    if (!fromApp) return;
    if (std::strncmp(text, "Opening rig model", 17) == 0) {
      started = Clock::now();
    } else if (std::strcmp(text, "Rig opened.") == 0) {
      totalSeconds = totalSeconds + std::chrono::duration<double>(Clock::now() - started).count();
      ++opens;
    }
  }
  static void reset() {
    totalSeconds = 0;
    opens = 0;
  }
};

int unusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool listening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

struct Daemon {
  pid_t pid = -1;
  std::string address;
  void start() {
    int port = unusedPort();
    std::string portText = std::to_string(port);
    const char *argv[] = {"rigctld",        "-m",   "1", "-P", "RIG", "-T", "127.0.0.1", "-t",
                          portText.c_str(), nullptr};
    if (posix_spawnp(&pid, "rigctld", nullptr, nullptr, const_cast<char **>(argv), environ)) {
      pid = -1;
      return;
    }
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!listening(port) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    address = "127.0.0.1:" + portText;
  }
  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
  }
};
Daemon rigctld;

struct Target {
  int model;
  const char *port;
  const char *conf;
};

Target target(const benchmark::State &state) {
  if (state.range(0) == 1) return {1, "", "ptt_type=RIG"};
  return {2, rigctld.address.c_str(), ""};
}

void report(benchmark::State &state) {
  if (OpenTimer::opens > 0) {
    state.counters["open_ms"] = 1000.0 * OpenTimer::totalSeconds / OpenTimer::opens;
  }
  state.SetLabel(state.range(0) == 1 ? "dummy rig" : "rigctld");
}

void BM_StatusRead(benchmark::State &state) {
  Target rig = target(state);
  OpenTimer::reset();
  char out[256];
  for (auto _ : state) {
    if (!rigbridge_read_status(rig.model, rig.port, rig.conf, nullptr, out, sizeof out)) {
      state.SkipWithError(out);
      break;
    }
  }
  report(state);
}

void BM_PttOn(benchmark::State &state) {
  Target rig = target(state);
  OpenTimer::reset();
  char err[256];
  for (auto _ : state) {
    if (!rigbridge_set_ptt(rig.model, rig.port, rig.conf, 1, err, sizeof err)) {
      state.SkipWithError(err);
      break;
    }
  }
  report(state);
}

void BM_PttOff(benchmark::State &state) {
  Target rig = target(state);
  OpenTimer::reset();
  char err[256];
  for (auto _ : state) {
    if (!rigbridge_set_ptt(rig.model, rig.port, rig.conf, 0, err, sizeof err)) {
      state.SkipWithError(err);
      break;
    }
  }
  report(state);
}

void BM_Tune(benchmark::State &state) {
  Target rig = target(state);
  OpenTimer::reset();
  char err[256];
  double hz = 14074000.0;
  for (auto _ : state) {
    if (!rigbridge_set_frequency(rig.model, rig.port, rig.conf, "USB", err, sizeof err, hz)) {
      state.SkipWithError(err);
      break;
    }
    hz = hz == 14074000.0 ? 7074000.0 : 14074000.0;
  }
  report(state);
}

void BM_ModeList(benchmark::State &state) {
  char out[2048];
  for (auto _ : state) benchmark::DoNotOptimize(rigbridge_list_modes(1035, out, sizeof out));
}

void BM_ModelList(benchmark::State &state) {
  for (auto _ : state) {
    int count = 0;
    rigbridge_free_rig_list(rigbridge_list_rigs(&count), count);
  }
}

BENCHMARK(BM_StatusRead)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PttOn)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PttOff)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Tune)->Arg(1)->Arg(2)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModeList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModelList)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  rigbridge_set_log_callback(OpenTimer::sink);
  // The operator's default level: Hamlib's trace output is formatted and handed on as it would be.
  rigbridge_set_debug_level(5);
  rigctld.start();
  benchmark::RunSpecifiedBenchmarks();
  rigctld.stop();
  benchmark::Shutdown();
  return 0;
}
