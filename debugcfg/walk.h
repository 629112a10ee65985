// The walk to the file: one name at a time from "/", through descriptors,
// so that no other account can lead the tool to a file that is not its
// own, and nothing found is ever named again (docs/design.md, "Finding the
// file", steps F1 to F3).
#ifndef DEBUGCFG_WALK_H
#define DEBUGCFG_WALK_H

#include <limits.h>
#include <sys/stat.h>

#include "reason.h"
#include "system.h"

namespace debugcfg {

// Where a walk ended: the folder that holds the last name, what that name
// names (never a link), the name itself, and the path the walk took to it,
// with no link in it, for messages. Both descriptors are O_PATH.
struct found {
  fd_guard dir;
  fd_guard obj;
  struct stat st;
  char name[NAME_MAX + 1];
  char path[PATH_MAX];
};

// Follows the absolute path from "/", through links (40 at most). Empty
// names and "." are skipped; a path that ends in "/" ends at the folder
// reached, found as its ".". A folder or link that an account other than
// root owns may lead only to what that account owns. Returns why not:
// reason::unsafe_path or errno's (EINVAL for a relative path, which stops
// an unoptimised build).
fault debug_walk(const char *path, found *out);

}  // namespace debugcfg

#endif
