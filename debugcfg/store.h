// Stores a new value of one entry in the configuration file, atomically
// and durably, keeping what any other process writes to it meanwhile
// (docs/design.md, "Storing", steps S1 to S8).
#ifndef DEBUGCFG_STORE_H
#define DEBUGCFG_STORE_H

#include "reason.h"
#include "system.h"
#include "view.h"

namespace debugcfg {

// Sets entry ("section:key") to value in the file at path: the value of
// the line iniparser takes for it is replaced, every other byte stays, and
// nothing is written where the file already holds it. v is the command's
// own read of the file for a store (debug_find_and_read), untouched since,
// which serves the first try; path is absolute, the file it names, found
// safely, is the file replaced, and a link keeps its link. Stores of the
// same file take turns on the lock file beside it; every wait keeps to the
// command's deadline. Returns 0; -1 with *why set, the file then as it
// was; or 1 with *why set when the new file is in place but its folder
// could not be synced. What *why names points into v.
int debug_store(const char *path, view *v, const char *entry, const char *value, patience *wait,
                fault *why);

}  // namespace debugcfg

#endif
