/* A library that looks like Hamlib to the loader: the version strings, and the entry points it
   looks up as plain data, since it only finds them. Built in several variants for the choice
   between installed libraries. */
#ifdef FAKE_VERSION2
const char *hamlib_version2 = FAKE_VERSION2;
#endif
#ifdef FAKE_VERSION
const char hamlib_version[] = FAKE_VERSION;
#endif

char rig_set_debug, rig_set_debug_callback, rig_load_all_backends, rig_list_foreach, rig_init,
    rig_open, rig_close, rig_cleanup, rig_token_lookup, rig_set_conf, rig_get_conf, rig_get_freq,
    rig_set_freq, rig_get_mode, rig_set_mode, rig_parse_mode, rig_set_ptt, rig_strrmode;
#ifndef FAKE_WITHOUT_RIGERROR
char rigerror;
#endif
