/* A library that looks like Hamlib to the loader: the version strings and the entry points it
   looks up, none of which is ever called. Built in several variants to exercise the choice
   between installed libraries. */
#ifdef FAKE_VERSION2
const char *hamlib_version2 = FAKE_VERSION2;
#endif
#ifdef FAKE_VERSION
const char hamlib_version[] = FAKE_VERSION;
#endif

#define ENTRY(name) \
  void name(void) {}
ENTRY(rig_set_debug)
ENTRY(rig_set_debug_callback)
ENTRY(rig_load_all_backends)
ENTRY(rig_list_foreach)
ENTRY(rig_init)
ENTRY(rig_open)
ENTRY(rig_close)
ENTRY(rig_cleanup)
ENTRY(rig_token_lookup)
ENTRY(rig_set_conf)
ENTRY(rig_get_conf)
ENTRY(rig_get_freq)
ENTRY(rig_set_freq)
ENTRY(rig_get_mode)
ENTRY(rig_set_mode)
ENTRY(rig_parse_mode)
ENTRY(rig_set_ptt)
ENTRY(rig_strrmode)
#ifndef FAKE_WITHOUT_RIGERROR
ENTRY(rigerror)
#endif
