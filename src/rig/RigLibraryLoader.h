// The bridge's module state: the one-time loading of Hamlib, its entry points, the debug level,
// the log sink and the lock that serialises every entry into Hamlib. Internal to src/rig.
#pragma once

#include <hamlib/rig.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Entry points of the chosen library, typed by the installed headers.
struct RigHamlibApi {
  decltype(&rig_set_debug) set_debug = nullptr;
  decltype(&rig_set_debug_callback) set_debug_callback = nullptr;
  decltype(&rig_load_all_backends) load_all_backends = nullptr;
  decltype(&rig_list_foreach) list_foreach = nullptr;
  decltype(&rig_init) init = nullptr;
  decltype(&rig_open) open = nullptr;
  decltype(&rig_close) close = nullptr;
  decltype(&rig_cleanup) cleanup = nullptr;
  decltype(&rig_token_lookup) token_lookup = nullptr;
  decltype(&rig_set_conf) set_conf = nullptr;
  decltype(&rig_get_conf) get_conf = nullptr;
  decltype(&rig_get_conf2) get_conf2 = nullptr;  // optional
  decltype(&rig_get_freq) get_freq = nullptr;
  decltype(&rig_set_freq) set_freq = nullptr;
  decltype(&rig_get_mode) get_mode = nullptr;
  decltype(&rig_set_mode) set_mode = nullptr;
  decltype(&rig_parse_mode) parse_mode = nullptr;
  decltype(&rig_set_ptt) set_ptt = nullptr;
  decltype(&rig_strrmode) strrmode = nullptr;
  decltype(&rigerror) error = nullptr;
  decltype(&rigerror2) error2 = nullptr;  // optional
  const char *version = nullptr;
  char *path = nullptr;
  bool loaded = false;
};

// Hamlib is not safe to enter from two threads: every bridge operation holds this for its
// whole length, the loading included.
std::mutex &rigbridge_mutex();

// Runs the loading once per process (callers hold rigbridge_mutex) and gives the entry points;
// loaded is false for the rest of the process when no usable library was found.
const RigHamlibApi &rigbridge_load_hamlib();

// Where the bridge's messages and Hamlib's debug output go: rigbridge_log_fn, which the bridge
// hands down from rigbridge_set_log_callback. Any thread.
using RigLogSink = void (*)(int level, const char *text, int fromApp);
void rigbridge_store_log_sink(RigLogSink sink);

// The bridge's own logger (fromApp 1). Nothing is formatted without a sink.
void rigbridge_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The level asked of Hamlib, kept within Hamlib's 0 to 6; the loading applies it. Any thread.
void rigbridge_store_debug_level(int level);
int rigbridge_current_debug_level();

// Four numbers from a version text: "Hamlib 4.6.2" gives 4, 6, 2, 0.
std::array<std::int64_t, 4> rigbridge_parse_version(const char *text);

// Where the loader looks, in order.
std::vector<std::string> rigbridge_default_library_candidates();
// Replaces the candidate list; takes effect only before the first loading. Lets tests point the
// loader at nothing or at chosen files.
void rigbridge_set_library_candidates(std::vector<std::string> candidates);

// One pass over candidates with the selection rule, without installing anything: the chosen
// library's handle (the caller dlcloses it) with its version, or a null handle. Logs as the
// loading does.
struct RigLibraryChoice {
  void *handle = nullptr;
  const char *version = nullptr;
  std::string path;  // the candidate path that won
};
RigLibraryChoice rigbridge_choose_library(const std::vector<std::string> &candidates);
