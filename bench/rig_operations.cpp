// How long each rig operation takes, each with its own open and close: against Hamlib's dummy
// rig (model 1) and through the network model (2) against a rigctld serving the dummy rig,
// which this program starts on a free loopback port. "open_ms" is the part from the first
// message of an operation to "Rig opened.". Push-to-talk timing in sending depends on these.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>

#include "RigctldServer.h"
#include "rig/RigBridge.h"

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

// Where the rigctld that main() starts listens; empty when it could not be started.
std::string rigctldAddress;

struct Target {
  int model;
  const char *port;
  const char *conf;
};

Target target(const benchmark::State &state) {
  if (state.range(0) == 1) return {1, "", "ptt_type=RIG"};
  return {2, rigctldAddress.c_str(), ""};
}

void report(benchmark::State &state) {
  if (OpenTimer::opens > 0) {
    state.counters["open_ms"] = 1000.0 * OpenTimer::totalSeconds / OpenTimer::opens;
  }
  state.SetLabel(state.range(0) == 1 ? "dummy rig" : "rigctld");
}

// One rig operation per iteration, each with its own open and close; the first failure ends the
// run with its reason.
template <typename Operation>
void timeOperation(benchmark::State &state, Operation operation) {
  Target rig = target(state);
  OpenTimer::reset();
  char text[256];
  for (auto _ : state) {
    if (!operation(rig, text, static_cast<int>(sizeof text))) {
      state.SkipWithError(text);
      break;
    }
  }
  report(state);
}

void BM_StatusRead(benchmark::State &state) {
  timeOperation(state, [](const Target &rig, char *out, int outLen) {
    return rigbridge_read_status(rig.model, rig.port, rig.conf, nullptr, out, outLen);
  });
}

void BM_PttOn(benchmark::State &state) {
  timeOperation(state, [](const Target &rig, char *err, int errLen) {
    return rigbridge_set_ptt(rig.model, rig.port, rig.conf, 1, err, errLen);
  });
}

void BM_PttOff(benchmark::State &state) {
  timeOperation(state, [](const Target &rig, char *err, int errLen) {
    return rigbridge_set_ptt(rig.model, rig.port, rig.conf, 0, err, errLen);
  });
}

void BM_Tune(benchmark::State &state) {
  double hz = 14074000.0;
  timeOperation(state, [&hz](const Target &rig, char *err, int errLen) {
    int done = rigbridge_set_frequency(rig.model, rig.port, rig.conf, "USB", err, errLen, hz);
    hz = hz == 14074000.0 ? 7074000.0 : 14074000.0;
    return done;
  });
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
  rigtest::Rigctld rigctld;
  if (rigctld.running()) rigctldAddress = rigctld.address();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
