// Stores debug type 1 in the configuration file, atomically and durably,
// keeping what any other process writes to it meanwhile.
#ifndef DEBUGCFG_STORE_H
#define DEBUGCFG_STORE_H

#include <stdint.h>

#include "load.h"
#include "reason.h"
#include "system.h"

namespace debugcfg {

// Replaces the value of the file's effective sys:Type1 with type1, leaving
// every other byte as it was; writes nothing where the file already holds
// it. v is the command's own read of the file at path for a store
// (debug_load_file), which serves the first try where it loaded; path is
// absolute, the file it names, found safely, is the file replaced, and a
// link keeps its link. Stores of the same file take turns on the lock file beside it;
// every wait keeps to the command's deadline. Returns 0; -1 with *why set,
// the file then as it was; or 1 with *why set when the new file is in
// place but its folder could not be synced. The name a fault gives is put
// in detail.
int debug_store_type1(const char *path, view *v, int8_t type1, patience *wait, fault *why,
                      char (&detail)[kDetailSize]);

}  // namespace debugcfg

#endif
