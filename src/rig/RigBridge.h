// The rig bridge: a plain function interface (ints, doubles, NUL-terminated strings,
// caller-owned buffers and one log function pointer) over the Hamlib library, which is loaded at
// run time and never linked. Every entry point may be called from any thread; Hamlib cannot be
// entered from two threads at once, so each operation runs under one process-wide lock. A
// push-to-talk call takes it before any other waiting call, and while a transmitter may be keyed
// (a key command went out to its rig, and no release of that rig has succeeded since), calls
// from other threads that talk to a rig wait (for at most ten seconds). Rig
// operations block for the whole initialise, open, act, close and clean-up sequence: never call
// them on the main thread.
#pragma once

// Receives the bridge's own messages (fromApp 1, levels 2 to 4) and Hamlib's debug output
// (fromApp 0, Hamlib's level). Called on the thread that produced the message, possibly on several
// at once and while the bridge's lock is held: it must not block and must not call the bridge.
// text is valid only during the call.
typedef void (*rigbridge_log_fn)(int level, const char *text, int fromApp);

// One rig model of the model list; label is "manufacturer model" (at most 255 characters).
struct rigbridge_rig_entry {
  int model;
  char *label;
};

// Stores the sink (nullptr clears it). Does not load Hamlib.
void rigbridge_set_log_callback(rigbridge_log_fn sink);
// Stores the level (0 to 6) asked of Hamlib, loads Hamlib if needed and applies the level.
void rigbridge_set_debug_level(int level);

// Each of these opens the rig, acts and closes it again. They write their reason (or the status
// line) into the caller's buffer, snprintf-like; a null buffer or a size below 1 gets nothing.
// conf's token=value lines go to Hamlib after the port, all but those whose value holds a control
// character. A connection to a network port (host:port) that has not come within three seconds
// is given up, and the call fails as one that timed out.
int rigbridge_read_status(int model, const char *port, const char *conf, const char *mode,
                          char *out, int outLen);
// commandSent (when given) says whether the command went out to the rig: a call that failed
// before (the model, the port or the opening) or that the rig refused as unsupported did
// nothing there; one that went out and failed may have keyed, or left keyed, all the same.
int rigbridge_set_ptt(int model, const char *port, const char *conf, int on, char *err, int errLen,
                      int *commandSent = nullptr);
int rigbridge_set_frequency(int model, const char *port, const char *conf, const char *mode,
                            char *err, int errLen, double hz);

// Every rig model Hamlib offers, sorted by label; nullptr (count 0) without a library.
// Free with rigbridge_free_rig_list.
rigbridge_rig_entry *rigbridge_list_rigs(int *count);
void rigbridge_free_rig_list(rigbridge_rig_entry *list, int count);
// One mode name per line, in ascending order of Hamlib's mode bits.
int rigbridge_list_modes(int model, char *out, int outLen);
// One line per non-empty key of keys ('\n'-separated token names): the model's default value,
// empty for an unknown token.
int rigbridge_get_conf_values(int model, const char *keys, char *out, int outLen);

// The chosen library's version string and file path; nullptr when none is loaded (or the path is
// unknown). The strings live as long as the process.
const char *rigbridge_hamlib_version(void);
const char *rigbridge_hamlib_path(void);
