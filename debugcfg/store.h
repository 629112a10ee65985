// Stores debug type 1 in the configuration file, atomically and durably.
#ifndef DEBUGCFG_STORE_H
#define DEBUGCFG_STORE_H

#include <stdint.h>

#include "reason.h"

namespace debugcfg {

// Replaces the value of the file's effective sys:Type1 with type1, leaving
// every other byte as it was; writes nothing when the text would not change
// and iniparser already reads type1 from it. path is absolute; the file it
// names, found safely, is the file replaced, and a link keeps its link.
// Stores of the same file take turns on the lock file beside it, waiting
// 30 s at most. Returns 0; -1 with *why set to the reason, the file then
// as it was; or 1 with *why set when the new file is in place but its
// folder could not be synced. The name a reason gives is put in detail.
// may_hold says iniparser read type1 from the file as the caller loaded
// it: only then may nothing need storing, which is then found out before
// any lock file is made.
int debug_store_type1(const char *path, int8_t type1, bool may_hold, fault *why,
                      char (&detail)[kDetailSize]);

}  // namespace debugcfg

#endif
