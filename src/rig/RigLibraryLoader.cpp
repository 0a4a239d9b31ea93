#include "rig/RigLibraryLoader.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#ifndef PALAVRIX_MULTIARCH
#if defined(__x86_64__)
#define PALAVRIX_MULTIARCH "x86_64-linux-gnu"
#elif defined(__aarch64__)
#define PALAVRIX_MULTIARCH "aarch64-linux-gnu"
#else
#define PALAVRIX_MULTIARCH ""
#endif
#endif

namespace {

// Process-wide bridge state. The sink and the level are set from any thread while operations run,
// hence atomics; everything else is written once by the loading and only read after it.
struct BridgeState {
  std::atomic<RigLogSink> sink{nullptr};
  std::atomic<int> debugLevel{RIG_DEBUG_TRACE};
  pthread_once_t once = PTHREAD_ONCE_INIT;
  std::mutex mutex;
  std::vector<std::string> candidates = rigbridge_default_library_candidates();
  RigHamlibApi api;
};

BridgeState &state() {
  // Never destroyed: a detached thread may still be loading Hamlib, or Hamlib calling back,
  // while the process exits.
  static BridgeState &instance = *new BridgeState;
  return instance;
}

// The version a library announces, or nullptr when it has none.
const char *versionOf(void *handle) {
  auto *version2 = static_cast<const char **>(dlsym(handle, "hamlib_version2"));
  if (version2 && *version2) return *version2;
  return static_cast<const char *>(dlsym(handle, "hamlib_version"));
}

// Fills api's entry points from handle; false when one that is not optional is missing.
bool resolveApi(void *handle, RigHamlibApi &api) {
  bool complete = true;
  auto resolve = [&](const char *name, auto &slot, bool optional = false) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
    complete = complete && (slot || optional);
  };
  resolve("rig_set_debug", api.set_debug);
  resolve("rig_set_debug_callback", api.set_debug_callback);
  resolve("rig_load_all_backends", api.load_all_backends);
  resolve("rig_list_foreach", api.list_foreach);
  resolve("rig_init", api.init);
  resolve("rig_open", api.open);
  resolve("rig_close", api.close);
  resolve("rig_cleanup", api.cleanup);
  resolve("rig_token_lookup", api.token_lookup);
  resolve("rig_set_conf", api.set_conf);
  resolve("rig_get_conf", api.get_conf);
  resolve("rig_get_conf2", api.get_conf2, true);
  resolve("rig_get_freq", api.get_freq);
  resolve("rig_set_freq", api.set_freq);
  resolve("rig_get_mode", api.get_mode);
  resolve("rig_set_mode", api.set_mode);
  resolve("rig_parse_mode", api.parse_mode);
  resolve("rig_set_ptt", api.set_ptt);
  resolve("rig_strrmode", api.strrmode);
  resolve("rigerror", api.error);
  resolve("rigerror2", api.error2, true);
  return complete;
}

// Hamlib 4.5 reads errno after a read that succeeded, and an EAGAIN there costs it a 5 ms nap
// per byte: what the log does on the way (a contended lock sets EAGAIN) must not show in errno.
class KeptErrno {
 public:
  KeptErrno() : saved_(errno) {}
  ~KeptErrno() { errno = saved_; }
  KeptErrno(const KeptErrno &) = delete;
  KeptErrno &operator=(const KeptErrno &) = delete;

 private:
  int saved_;
};

int hamlibDebugCallback(enum rig_debug_level_e level, rig_ptr_t, const char *format, va_list args) {
  // Hamlib holds its own lock here: hand the line on and return, nothing else.
  KeptErrno kept;
  RigLogSink sink = state().sink.load();
  if (!sink) return 0;
  char *text = nullptr;
  if (vasprintf(&text, format, args) < 0 || !text) return 0;
  sink(static_cast<int>(level), text, 0);
  free(text);
  return 0;
}

void loadOnce() {
  BridgeState &bridge = state();
  // Hamlib keeps the pointer setlocale(LC_NUMERIC, NULL) gives across its own switch to "C";
  // glibc frees any other locale's name at that switch, so Hamlib would read freed memory. With
  // LC_NUMERIC already at "C" the name is static. Hamlib needs "C" numbers anyway.
  setlocale(LC_NUMERIC, "C");
  RigLibraryChoice choice = rigbridge_choose_library(bridge.candidates);
  if (!choice.handle) {
    rigbridge_log(RIG_DEBUG_ERR, "No usable Hamlib library found.");
    return;
  }
  RigHamlibApi &api = bridge.api;
  resolveApi(choice.handle, api);
  api.version = choice.version;
  api.loaded = true;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void *>(api.init), &info) && info.dli_fname) {
    api.path = strdup(info.dli_fname);
  }
  rigbridge_log(RIG_DEBUG_VERBOSE, "Using %s from %s", api.version,
                api.path ? api.path : "unknown path");
  api.set_debug_callback(hamlibDebugCallback, nullptr);
  api.set_debug(static_cast<enum rig_debug_level_e>(bridge.debugLevel.load()));
}

}  // namespace

std::mutex &rigbridge_mutex() { return state().mutex; }

const RigHamlibApi &rigbridge_load_hamlib() {
  pthread_once(&state().once, loadOnce);
  return state().api;
}

void rigbridge_store_log_sink(RigLogSink sink) { state().sink.store(sink); }

void rigbridge_log(int level, const char *format, ...) {
  KeptErrno kept;  // it runs between the Hamlib calls of an operation
  RigLogSink sink = state().sink.load();
  if (!sink) return;
  char *text = nullptr;
  va_list args;
  va_start(args, format);
  int length = vasprintf(&text, format, args);
  va_end(args);
  if (length < 0 || !text) return;
  sink(level, text, 1);
  free(text);
}

void rigbridge_store_debug_level(int level) {
  // Hamlib's enumeration holds 0 to 6 only.
  state().debugLevel.store(
      std::clamp(level, static_cast<int>(RIG_DEBUG_NONE), static_cast<int>(RIG_DEBUG_CACHE)));
}

int rigbridge_current_debug_level() { return state().debugLevel.load(); }

std::array<std::int64_t, 4> rigbridge_parse_version(const char *text) {
  std::array<std::int64_t, 4> parts{0, 0, 0, 0};
  if (!text) return parts;
  const char *cursor = text;
  while (*cursor && !std::isdigit(static_cast<unsigned char>(*cursor))) ++cursor;
  for (std::size_t read = 0; *cursor && read < parts.size();) {
    char *end = nullptr;
    parts[read++] = std::strtoll(cursor, &end, 10);
    if (*end != '.' || read == parts.size() || !std::isdigit(static_cast<unsigned char>(end[1]))) {
      break;
    }
    cursor = end + 1;
  }
  return parts;
}

std::vector<std::string> rigbridge_default_library_candidates() {
  std::vector<std::string> candidates;
  // A copy bundled beside the program comes first.
  char exe[4096];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length > 0) {
    std::string folder(exe, static_cast<std::size_t>(length));
    folder.erase(folder.find_last_of('/') + 1);
    candidates.push_back(folder + "../lib/libhamlib.so.4");
  }
  candidates.push_back("libhamlib.so.4");
  candidates.push_back("/usr/local/lib/libhamlib.so.4");
  candidates.push_back("/usr/local/lib64/libhamlib.so.4");
  if (std::strlen(PALAVRIX_MULTIARCH) > 0) {
    candidates.push_back(std::string("/usr/lib/") + PALAVRIX_MULTIARCH + "/libhamlib.so.4");
  }
  candidates.push_back("/usr/lib64/libhamlib.so.4");
  candidates.push_back("/usr/lib/libhamlib.so.4");
  return candidates;
}

void rigbridge_set_library_candidates(std::vector<std::string> candidates) {
  state().candidates = std::move(candidates);
}

RigLibraryChoice rigbridge_choose_library(const std::vector<std::string> &candidates) {
  RigLibraryChoice kept;
  for (const std::string &path : candidates) {
    void *handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
      const char *reason = dlerror();
      rigbridge_log(RIG_DEBUG_VERBOSE, "Hamlib not loaded from %s: %s", path.c_str(),
                    reason ? reason : "unknown error");
      continue;
    }
    if (handle == kept.handle) {  // the same library through another path
      dlclose(handle);
      continue;
    }
    const char *version = versionOf(handle);
    RigHamlibApi probe;
    if (!version || !resolveApi(handle, probe)) {
      rigbridge_log(RIG_DEBUG_WARN, "Ignoring %s: not a usable Hamlib (missing symbols)",
                    path.c_str());
      dlclose(handle);
      continue;
    }
    // Only Hamlib 4's interface matches the headers we were built with.
    if (rigbridge_parse_version(version)[0] != 4) {
      rigbridge_log(RIG_DEBUG_WARN, "Ignoring %s: %s is not Hamlib 4", path.c_str(), version);
      dlclose(handle);
      continue;
    }
    rigbridge_log(RIG_DEBUG_VERBOSE, "Found %s at %s", version, path.c_str());
    if (!kept.handle) {
      kept = {handle, version, path};
      continue;
    }
    if (rigbridge_parse_version(version) > rigbridge_parse_version(kept.version)) {
      dlclose(kept.handle);
      kept = {handle, version, path};
    } else {
      dlclose(handle);
    }
  }
  return kept;
}
