// The read and write commands against a configuration file at any
// absolute path; the tool itself only ever passes DEBUG_CONFIG_PATH. Where
// iniparser 4.1 must open the file by its name, /proc missing, either
// command makes the file's folder the process's working directory.
#ifndef DEBUGCFG_COMMANDS_H
#define DEBUGCFG_COMMANDS_H

#include <limits.h>
#include <stddef.h>

#include "reason.h"
#include "system.h"

namespace debugcfg {

// debug_read_data() against the file at path, keeping to the deadline of
// the command, which may have waited before.
int debug_report(const char *path, patience *wait);

// debug_write_data() against the file at path. From its start, the process
// ignores SIGIO (a lease the store holds says in itself that another
// process broke it) and SIGXFSZ (a write past a file-size limit fails with
// EFBIG, which is told).
int debug_write_file(const char *path, const char *key, int value);

// Room for the words of any fault: a path, a name and words of their own.
constexpr size_t kFaultText = PATH_MAX + NAME_MAX + 128;

// The words the write prints for f, into out.
void debug_fault_text(const fault &f, char (&out)[kFaultText]);

}  // namespace debugcfg

#endif
