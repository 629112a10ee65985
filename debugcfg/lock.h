// The writers' lasting lock file beside the configuration file, on which
// writers take turns; it is only ever a file the tool made for that file.
#ifndef DEBUGCFG_LOCK_H
#define DEBUGCFG_LOCK_H

#include "reason.h"
#include "system.h"
#include "walk.h"

namespace debugcfg {

// S3: takes this writer's turn on .<name>.lock beside the found file,
// by the deadline, holding it open in *lock. A missing lock is made,
// empty, 0600, with the file's owner and group, and appears at its name
// only so, on every file system. One that an earlier owner of the file
// left, in a folder only root and the file's owner can change, is replaced
// in its turn. Whatever else stands there is refused without being opened.
// Only a writer in its turn ever removes a lock. Returns why not:
// reason::no_turn, a stale handle, or one of the lock file's reasons.
fault debug_take_turn(const found &f, patience *wait, fd_guard *lock);

}  // namespace debugcfg

#endif
