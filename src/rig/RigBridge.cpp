// Rig operations. Each one runs under the bridge's lock: initialise, configure, open, act, close
// and clean up, so no rig stays open between calls and Hamlib is entered by one thread at a time.
#include "rig/RigBridge.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rig/RigConnectWatch.h"
#include "rig/RigLibraryLoader.h"
#include "rig/RigTypes.h"

namespace {

constexpr const char *kNoLibrary = "Hamlib library not found.";
constexpr const char *kInvalidFrequency =
    "Invalid frequency: it must be a positive number of hertz that a rig can be tuned to.";
// 2^63 Hz, the first frequency a signed 64-bit count of hertz cannot hold.
constexpr double kLargestFrequencyHz = 9223372036854775808.0;

// Writes into a caller's buffer snprintf-like. A null buffer or a size below 1 gets nothing.
__attribute__((format(printf, 3, 4))) void writeText(char *out, int outLen, const char *format,
                                                     ...) {
  if (!out || outLen < 1) return;
  va_list args;
  va_start(args, format);
  int length = vsnprintf(out, static_cast<std::size_t>(outLen), format, args);
  va_end(args);
  if (length < 0) out[0] = '\0';
}

// Appends "text\n" to a caller's buffer that already holds a terminated text. False once the
// buffer is full (the last line then arrives cut) or the line cannot be formatted.
bool appendLine(char *out, int outLen, const char *text) {
  std::size_t size = static_cast<std::size_t>(outLen);
  std::size_t used = strnlen(out, size - 1);
  std::size_t room = size - used;
  if (room <= 1) return false;
  int length = snprintf(out + used, room, "%s\n", text);
  return length >= 0 && static_cast<std::size_t>(length) < room;
}

std::string trimmedLineEnds(const char *text) {
  std::string copy = text ? text : "";
  while (!copy.empty() && (copy.back() == '\n' || copy.back() == '\r')) copy.pop_back();
  return copy;
}

// Hamlib's error texts live in static buffers that the next call overwrites: copy them at once.
std::string shortError(const RigHamlibApi &api, int code) {
  return trimmedLineEnds(api.error2 ? api.error2(code) : api.error(code));
}

void logHamlibFailure(const RigHamlibApi &api, const char *what, int code) {
  std::string text = shortError(api, code);
  std::string trace = trimmedLineEnds(api.error(code));
  rigbridge_log(RIG_DEBUG_ERR, "%s failed: %s (error %d)\nHamlib error trace:\n%s", what,
                text.c_str(), code, trace.c_str());
}

// A failed Hamlib call: "<summary>: <Hamlib's reason>" for the caller, the full trace for the log.
void reportFailure(const RigHamlibApi &api, int code, const char *call, const std::string &summary,
                   char *err, int errLen) {
  writeText(err, errLen, "%s: %s", summary.c_str(), shortError(api, code).c_str());
  logHamlibFailure(api, call, code);
}

void closeRig(const RigHamlibApi &api, RIG *rig) {
  api.close(rig);
  api.cleanup(rig);
}

int setConf(const RigHamlibApi &api, RIG *rig, const char *name, const char *value) {
  token_t token = api.token_lookup(rig, name);
  if (token == RIG_CONF_END) return -RIG_EINVAL;
  return api.set_conf(rig, token, value);
}

// Applies conf's token=value lines; lines Hamlib cannot take are only warned about, and lines
// without a token name are no settings at all. A value with a control character in it is no
// value anyone chose (a stray line end, binary junk) and never reaches Hamlib.
void applyConfiguration(const RigHamlibApi &api, RIG *rig, const char *conf) {
  for (const std::string &piece : splitLines(conf)) {
    std::size_t equals = piece.find('=');
    if (equals == std::string::npos || equals == 0) continue;
    std::string name = piece.substr(0, equals);
    std::string value = piece.substr(equals + 1);
    if (hasControlCharacter(value)) {
      rigbridge_log(RIG_DEBUG_WARN,
                    "Ignoring configuration line \"%s\": its value holds a control character",
                    piece.c_str());
      continue;
    }
    int code = setConf(api, rig, name.c_str(), value.c_str());
    if (code == RIG_OK) {
      rigbridge_log(RIG_DEBUG_VERBOSE, "Set %s = %s", name.c_str(), value.c_str());
    } else {
      std::string reason = shortError(api, code);
      rigbridge_log(RIG_DEBUG_WARN, "Couldn't set %s = %s (%s); using the rig's default",
                    name.c_str(), value.c_str(), reason.c_str());
    }
  }
}

bool isKnownModel(const RigHamlibApi &api, int model);

// rig_init on a number Hamlib does not list reloads that number's backend, and Hamlib ends the
// whole process when a loaded backend registers its models again: only known models get there.
RIG *initRig(const RigHamlibApi &api, int model) {
  if (!isKnownModel(api, model)) return nullptr;
  return api.init(static_cast<rig_model_t>(model));
}

// Initialises, configures and opens a rig; nullptr with the reason in err on failure.
RIG *openRig(const RigHamlibApi &api, int model, const char *port, const char *conf, char *err,
             int errLen) {
  if (!api.loaded) {
    writeText(err, errLen, "%s", kNoLibrary);
    return nullptr;
  }
  rigbridge_log(RIG_DEBUG_VERBOSE, "Opening rig model %d on port \"%s\"", model, port ? port : "");
  RIG *rig = initRig(api, model);
  if (!rig) {
    writeText(err, errLen, "%s", kRigModelInitFailedText);
    rigbridge_log(RIG_DEBUG_ERR, "rig_init(%d) failed: %s", model, kRigModelInitFailedText);
    return nullptr;
  }
  if (port && *port) {
    int code = setConf(api, rig, "rig_pathname", port);
    if (code != RIG_OK) {
      reportFailure(api, code, "Setting port", "Could not set port", err, errLen);
      api.cleanup(rig);
      return nullptr;
    }
  }
  if (conf) applyConfiguration(api, rig, conf);
  int code;
  bool connectionStalled;
  {
    RigConnectWatch watch(kRigConnectLimit);
    code = api.open(rig);
    connectionStalled = watch.interrupted();
  }
  if (code != RIG_OK) {
    // Hamlib only saw its connection fail; it failed because it did not come in time.
    if (connectionStalled) code = -RIG_ETIMEOUT;
    reportFailure(api, code, "rig_open", "Connection failed", err, errLen);
    api.cleanup(rig);
    return nullptr;
  }
  rigbridge_log(RIG_DEBUG_VERBOSE, "Rig opened.");
  return rig;
}

bool setMode(const RigHamlibApi &api, RIG *rig, const char *mode, char *err, int errLen) {
  if (!mode || !*mode) return true;
  rmode_t parsed = api.parse_mode(mode);
  if (parsed == RIG_MODE_NONE) {
    writeText(err, errLen, "Unknown mode \"%s\".", mode);
    rigbridge_log(RIG_DEBUG_ERR, "rig_parse_mode(\"%s\") failed", mode);
    return false;
  }
  rigbridge_log(RIG_DEBUG_VERBOSE, "Setting mode to %s", mode);
  int code = api.set_mode(rig, RIG_VFO_CURR, parsed, RIG_PASSBAND_NOCHANGE);
  if (code != RIG_OK) {
    reportFailure(api, code, "rig_set_mode", std::string("Set mode ") + mode + " failed", err,
                  errLen);
    return false;
  }
  return true;
}

// Listing operations read capability records only; Hamlib stays quiet meanwhile.
class QuietHamlib {
 public:
  explicit QuietHamlib(const RigHamlibApi &api) : api_(api) { api_.set_debug(RIG_DEBUG_NONE); }
  ~QuietHamlib() {
    api_.set_debug(static_cast<enum rig_debug_level_e>(rigbridge_current_debug_level()));
  }
  QuietHamlib(const QuietHamlib &) = delete;
  QuietHamlib &operator=(const QuietHamlib &) = delete;

 private:
  const RigHamlibApi &api_;
};

struct RigListBuilder {
  rigbridge_rig_entry *entries = nullptr;
  int count = 0;
  int capacity = 0;
  bool failed = false;
};

int rigListCallback(const struct rig_caps *caps, rig_ptr_t data) {
  auto *builder = static_cast<RigListBuilder *>(data);
  if (builder->count == builder->capacity) {
    int capacity = builder->capacity == 0 ? 64 : builder->capacity * 2;
    void *grown = realloc(builder->entries, sizeof(rigbridge_rig_entry) * capacity);
    if (!grown) {  // keep what was listed so far
      builder->failed = true;
      return 0;
    }
    builder->entries = static_cast<rigbridge_rig_entry *>(grown);
    builder->capacity = capacity;
  }
  char label[256];
  snprintf(label, sizeof label, "%s %s", caps->mfg_name ? caps->mfg_name : "",
           caps->model_name ? caps->model_name : "");
  char *copy = strdup(label);
  if (!copy) {
    builder->failed = true;
    return 0;
  }
  builder->entries[builder->count++] = {static_cast<int>(caps->rig_model), copy};
  return 1;
}

int compareRigLabels(const void *left, const void *right) {
  return strcasecmp(static_cast<const rigbridge_rig_entry *>(left)->label,
                    static_cast<const rigbridge_rig_entry *>(right)->label);
}

// Hamlib's model numbers, known once every backend is loaded. Guarded by rigbridge_mutex.
struct KnownModels {
  bool backendsLoaded = false;
  std::vector<int> numbers;  // sorted
};
KnownModels knownModels;

int collectModelNumber(const struct rig_caps *caps, rig_ptr_t data) {
  static_cast<std::vector<int> *>(data)->push_back(static_cast<int>(caps->rig_model));
  return 1;
}

// Loading the backends while a rig is being initialised ends the process: done once, under the
// bridge's lock.
void loadBackends(const RigHamlibApi &api) {
  if (knownModels.backendsLoaded) return;
  QuietHamlib quiet(api);
  api.load_all_backends();
  api.list_foreach(collectModelNumber, &knownModels.numbers);
  std::sort(knownModels.numbers.begin(), knownModels.numbers.end());
  knownModels.backendsLoaded = true;
}

bool isKnownModel(const RigHamlibApi &api, int model) {
  loadBackends(api);
  return std::binary_search(knownModels.numbers.begin(), knownModels.numbers.end(), model);
}

// Who enters Hamlib next. A push-to-talk call goes before every other call waiting, then the calls
// that only ask the library (model list, modes, version), which take moments, before the calls
// that talk to a rig, which may take a hung rig's whole timeout: a released turn goes to whichever
// waiter takes the lock first, often a thread that asks again at once (the status poll, the
// connection test), and the settings window would wait behind them for minutes. While a transmitter
// may be keyed (from a key command that went out to its rig until a release of that rig succeeds)
// calls that talk to a rig from other threads (the settings window's connection test) hold back,
// for at most a while: a rig that does not answer them would otherwise keep the release waiting for
// its whole timeout.
struct Turns {
  std::mutex mutex;
  std::condition_variable changed;
  bool busy = false;
  int pushToTalkWaiting = 0;
  int quickWaiting = 0;
  // "model port" of each rig that may be keyed, and the thread that keyed last.
  std::vector<std::string> keyedRigs;
  std::thread::id keyer;
};

Turns &turns() {
  static Turns &instance = *new Turns;  // a detached thread may still take its turn at exit
  return instance;
}

constexpr std::chrono::seconds kKeyedHoldBack{10};

enum class Call { pushToTalk, rig, quick };

// Holds the bridge's lock for one operation, having waited for its turn.
class Turn {
 public:
  explicit Turn(Call call) {
    Turns &t = turns();
    {
      std::unique_lock lock(t.mutex);
      if (call == Call::pushToTalk) {
        ++t.pushToTalkWaiting;
        t.changed.wait(lock, [&] { return !t.busy; });
        --t.pushToTalkWaiting;
      } else if (call == Call::quick) {
        ++t.quickWaiting;
        t.changed.wait(lock, [&] { return !t.busy && t.pushToTalkWaiting == 0; });
        --t.quickWaiting;
      } else {
        const std::thread::id self = std::this_thread::get_id();
        auto free = [&] { return !t.busy && t.pushToTalkWaiting == 0 && t.quickWaiting == 0; };
        t.changed.wait_for(lock, kKeyedHoldBack,
                           [&] { return free() && (t.keyedRigs.empty() || t.keyer == self); });
        t.changed.wait(lock, free);
      }
      t.busy = true;
    }
    hamlib_ = std::unique_lock(rigbridge_mutex());
  }
  ~Turn() {
    hamlib_.unlock();
    Turns &t = turns();
    {
      std::lock_guard lock(t.mutex);
      t.busy = false;
    }
    t.changed.notify_all();
  }
  Turn(const Turn &) = delete;
  Turn &operator=(const Turn &) = delete;

  // A key command went out to the rig (keyed), or a release of it succeeded.
  static void setKeyed(const std::string &rig, bool keyed) {
    Turns &t = turns();
    {
      std::lock_guard lock(t.mutex);
      std::erase(t.keyedRigs, rig);
      if (keyed) {
        t.keyedRigs.push_back(rig);
        t.keyer = std::this_thread::get_id();
      }
    }
    t.changed.notify_all();
  }

 private:
  std::unique_lock<std::mutex> hamlib_;
};

// Hamlib's answer for a rig or backend that has no push-to-talk: the command did nothing.
bool refusedOutright(int code) { return code == -RIG_ENIMPL || code == -RIG_ENAVAIL; }

}  // namespace

void rigbridge_set_log_callback(rigbridge_log_fn sink) { rigbridge_store_log_sink(sink); }

void rigbridge_set_debug_level(int level) {
  rigbridge_store_debug_level(level);
  Turn turn(Call::quick);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  if (api.loaded) {
    api.set_debug(static_cast<enum rig_debug_level_e>(rigbridge_current_debug_level()));
  }
}

int rigbridge_read_status(int model, const char *port, const char *conf, const char *mode,
                          char *out, int outLen) {
  Turn turn(Call::rig);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  RIG *rig = openRig(api, model, port, conf, out, outLen);
  if (!rig) return 0;
  if (!setMode(api, rig, mode, out, outLen)) {
    closeRig(api, rig);
    return 0;
  }
  freq_t frequency = 0;
  int code = api.get_freq(rig, RIG_VFO_CURR, &frequency);
  if (code != RIG_OK) {
    reportFailure(api, code, "rig_get_freq", "Connected, but could not read frequency", out,
                  outLen);
    closeRig(api, rig);
    return 0;
  }
  rmode_t currentMode = RIG_MODE_NONE;
  pbwidth_t width = 0;
  int modeCode = api.get_mode(rig, RIG_VFO_CURR, &currentMode, &width);
  if (modeCode != RIG_OK) logHamlibFailure(api, "rig_get_mode", modeCode);
  closeRig(api, rig);

  char modeText[64];
  const char *modeName =
      modeCode == RIG_OK && currentMode != RIG_MODE_NONE ? api.strrmode(currentMode) : nullptr;
  if (!modeName || !*modeName) {
    snprintf(modeText, sizeof modeText, "unknown mode");
  } else if (width >= 1) {
    snprintf(modeText, sizeof modeText, "%s (%ld Hz)", modeName, static_cast<long>(width));
  } else {
    snprintf(modeText, sizeof modeText, "%s", modeName);
  }
  char status[128];
  snprintf(status, sizeof status, "%.6f MHz  %s", frequency / 1e6, modeText);
  writeText(out, outLen, "%s", status);
  rigbridge_log(RIG_DEBUG_VERBOSE, "Rig reports %s", status);
  return 1;
}

int rigbridge_set_ptt(int model, const char *port, const char *conf, int on, char *err, int errLen,
                      int *commandSent) {
  if (commandSent) *commandSent = 0;
  Turn turn(Call::pushToTalk);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  RIG *rig = openRig(api, model, port, conf, err, errLen);
  if (!rig) return 0;
  const char *state = on ? "on" : "off";
  rigbridge_log(RIG_DEBUG_VERBOSE, "Setting PTT %s", state);
  int code = api.set_ptt(rig, RIG_VFO_CURR, static_cast<ptt_t>(on));
  closeRig(api, rig);
  // Once the command has gone out, a failure (a reply lost or too late) may hide a rig that
  // acted on it.
  const bool sent = !refusedOutright(code);
  if (commandSent) *commandSent = sent ? 1 : 0;
  const std::string keyedRig = std::to_string(model) + ' ' + (port ? port : "");
  if (on && sent) Turn::setKeyed(keyedRig, true);
  if (code != RIG_OK) {
    reportFailure(api, code, on ? "rig_set_ptt(on)" : "rig_set_ptt(off)",
                  std::string("PTT ") + state + " failed", err, errLen);
    return 0;
  }
  if (!on) Turn::setKeyed(keyedRig, false);
  return 1;
}

int rigbridge_set_frequency(int model, const char *port, const char *conf, const char *mode,
                            char *err, int errLen, double hz) {
  // Hamlib's backends turn the frequency into a 64-bit count of hertz: NaN, infinities and
  // anything beyond it reach the rig as nonsense (or stall a daemon for its whole timeout).
  if (!(std::isfinite(hz) && hz > 0 && hz < kLargestFrequencyHz)) {
    writeText(err, errLen, "%s", kInvalidFrequency);
    rigbridge_log(RIG_DEBUG_ERR, "Refusing to set frequency %g Hz", hz);
    return 0;
  }
  Turn turn(Call::rig);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  RIG *rig = openRig(api, model, port, conf, err, errLen);
  if (!rig) return 0;
  rigbridge_log(RIG_DEBUG_VERBOSE, "Setting frequency to %.6f MHz", hz / 1e6);
  bool result;
  int code = api.set_freq(rig, RIG_VFO_CURR, hz);
  if (code != RIG_OK) {
    reportFailure(api, code, "rig_set_freq", "Set frequency failed", err, errLen);
    result = false;
  } else {
    result = setMode(api, rig, mode, err, errLen);
  }
  closeRig(api, rig);
  return result ? 1 : 0;
}

rigbridge_rig_entry *rigbridge_list_rigs(int *count) {
  if (count) *count = 0;
  Turn turn(Call::quick);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  if (!api.loaded) return nullptr;
  RigListBuilder builder;
  {
    loadBackends(api);
    QuietHamlib quiet(api);
    api.list_foreach(rigListCallback, &builder);
  }
  if (builder.count == 0) {
    free(builder.entries);
    return nullptr;
  }
  qsort(builder.entries, static_cast<std::size_t>(builder.count), sizeof(rigbridge_rig_entry),
        compareRigLabels);
  if (count) *count = builder.count;
  return builder.entries;
}

void rigbridge_free_rig_list(rigbridge_rig_entry *list, int count) {
  if (!list) return;
  for (int i = 0; i < count; ++i) free(list[i].label);
  free(list);
}

int rigbridge_list_modes(int model, char *out, int outLen) {
  if (!out || outLen < 1) return 0;
  out[0] = '\0';
  Turn turn(Call::quick);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  if (!api.loaded) return 0;
  loadBackends(api);
  QuietHamlib quiet(api);
  RIG *rig = initRig(api, model);
  if (!rig) return 0;
  rmode_t modes = RIG_MODE_NONE;
  const freq_range_t *lists[] = {rig->caps->rx_range_list1, rig->caps->tx_range_list1,
                                 rig->caps->rx_range_list2, rig->caps->tx_range_list2};
  for (const freq_range_t *list : lists) {
    for (int i = 0; i < HAMLIB_FRQRANGESIZ; ++i) {
      if (list[i].startf == 0 && list[i].endf == 0) break;
      modes |= list[i].modes;
    }
  }
  for (int bit = 0; bit < 64; ++bit) {
    rmode_t single = rmode_t{1} << bit;
    if (!(modes & single)) continue;
    const char *name = api.strrmode(single);
    if (!name || !*name) continue;
    if (!appendLine(out, outLen, name)) break;
  }
  api.cleanup(rig);
  return 1;
}

int rigbridge_get_conf_values(int model, const char *keys, char *out, int outLen) {
  if (!out || outLen < 1) return 0;
  out[0] = '\0';
  Turn turn(Call::quick);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  if (!keys || !api.loaded) return 0;
  loadBackends(api);
  QuietHamlib quiet(api);
  RIG *rig = initRig(api, model);
  if (!rig) return 0;
  for (const std::string &name : splitLines(keys)) {
    if (name.empty()) continue;
    char value[256] = {};
    token_t token = api.token_lookup(rig, name.c_str());
    if (token != RIG_CONF_END) {
      if (api.get_conf2) {
        api.get_conf2(rig, token, value, sizeof value);
      } else {
        api.get_conf(rig, token, value);
      }
      value[sizeof value - 1] = '\0';
    }
    if (!appendLine(out, outLen, value)) break;
  }
  api.cleanup(rig);
  return 1;
}

const char *rigbridge_hamlib_version(void) {
  Turn turn(Call::quick);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  return api.loaded ? api.version : nullptr;
}

const char *rigbridge_hamlib_path(void) {
  Turn turn(Call::quick);
  const RigHamlibApi &api = rigbridge_load_hamlib();
  return api.loaded ? api.path : nullptr;
}
