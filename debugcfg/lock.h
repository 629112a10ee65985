// The writers' lasting lock file beside the configuration file, on which
// writers take turns; it is only ever a file the tool made for that file.
#ifndef DEBUGCFG_LOCK_H
#define DEBUGCFG_LOCK_H

#include <stddef.h>

#include "find_file.h"

namespace debugcfg {

// A write waits kPatienceSeconds for its turn, across every try.
constexpr const char *kNoTurn = "waited 30 s for the writers' lock";
static_assert(kPatienceSeconds == 30, "kNoTurn names the wait");

// Takes this writer's turn on .<name>.lock beside the found file, by the
// deadline, holding it open in *lock. A missing lock is made, empty, 0600,
// with the file's owner and group; one that an earlier owner of the file
// left, in a folder only root and the file's owner can change, is replaced
// in its turn. Whatever else stands there is refused without being opened.
// Returns null, kNoTurn, or why not in msg (size bytes), which names the
// lock file.
const char *debug_take_turn(const found &f, time_t until, fd_guard *lock,
                            char *msg, size_t size);

}  // namespace debugcfg

#endif
