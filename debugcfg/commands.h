// The read and write commands against a configuration file at any path;
// the tool itself only ever passes DEBUG_CONFIG_PATH.
#ifndef DEBUGCFG_COMMANDS_H
#define DEBUGCFG_COMMANDS_H

#include <stddef.h>

#include "reason.h"
#include "system.h"

namespace debugcfg {

// debug_read_data() against the file at path.
int debug_read_file(const char *path);

// The same, keeping to the deadline of a command that waited before.
int debug_report(const char *path, patience *wait);

// debug_write_data() against the file at path.
int debug_write_file(const char *path, const char *key, int value);

// The words the write prints for f, into out (size bytes); detail is the
// file or attribute it names.
void debug_fault_text(fault f, const char *detail, char *out, size_t size);

}  // namespace debugcfg

#endif
