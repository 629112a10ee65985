// The device's debug settings: the one record, the configuration file that
// holds them, and the read and write commands.
#ifndef DEBUGCFG_DEBUG_CONFIG_H
#define DEBUGCFG_DEBUG_CONFIG_H

#include <stdint.h>

// Where the device keeps its debug settings; fixed, with no way to move it.
#define DEBUG_CONFIG_PATH "/quarn_etc/debug.cfg"

// The files a write keeps beside the configuration file, named after it:
// .<name>.lock, on which writers take turns, and .<name>.tmp, the new text
// before it takes the file's place. A lock is made under .<name>.lock.tmp
// where the file system makes no unnamed files.
#define DEBUG_LOCK_SUFFIX ".lock"
#define DEBUG_NEW_SUFFIX ".tmp"

// The debug settings of one run, mirrored from the [sys] section.
typedef struct debug_config_t {
  char printerName[32];  // always NUL-terminated
  int32_t defaultName;
  int8_t Type1;
  int8_t Type2;
  int8_t Type3;
} debug_config_t;

// The run's one record; the front end sets it before any command runs.
extern debug_config_t *debugconfig;

// Loads the configuration file into *debugconfig and prints the report.
// All three arguments are ignored. Returns 0 once the report is printed,
// -1 when the file can't be reached (after saying so on stdout).
int debug_read_data(const char *key, int value, int extra);

// Sets debug type 1 to the low 8 bits of value, stores it in the
// configuration file and prints the report of the file as it then stands.
// Returns -1, printing nothing, when key is not "Type1"; 0 otherwise, even
// when the store failed (that failure is told on stdout). extra is ignored.
int debug_write_data(const char *key, int value, int extra);

#endif
