// The read and write commands against a configuration file at any path;
// the tool itself only ever passes DEBUG_CONFIG_PATH.
#ifndef DEBUGCFG_COMMANDS_H
#define DEBUGCFG_COMMANDS_H

namespace debugcfg {

// debug_read_data() against the file at path.
int debug_read_file(const char *path);

// debug_write_data() against the file at path.
int debug_write_file(const char *path, const char *key, int value);

}  // namespace debugcfg

#endif
