// The new text's file beside the old one (docs/design.md, "Storing", steps
// S7 and S8), with the life of git's lockfile: made (held) open to no
// account but this process's, written and read back, given the access the
// old file grants, then committed by its rename over the old one, or
// rolled back: removed when it goes out of scope uncommitted. Only a
// writer in its turn makes one.
#ifndef DEBUGCFG_NEW_FILE_H
#define DEBUGCFG_NEW_FILE_H

#include <limits.h>

#include "reason.h"
#include "system.h"
#include "view.h"

namespace debugcfg {

struct new_file {
  const view *old = nullptr;     // the file it is to replace, as read
  char name[NAME_MAX + 8] = "";  // .<name>.tmp, beside it
  fd_guard fd;
  bool committed = false;
  ~new_file();
};

// Makes the new file beside the old one, first removing whatever an
// interrupted write left at its name, whoever's it was: exclusively, given
// the old file's owner and group and no more of its mode than its owner's
// read and write bits, then those of the old file's extended attributes
// that grant no access (security labels, user and trusted attributes).
// Returns why not.
fault new_file_make(new_file *n, const view &old);

// Writes text into the new file from its start, whole, and reads it back.
fault new_file_write(new_file *n, const text_buf &text);

// Gives the new file exactly the access the old one grants: the old
// file's ACL (one the folder's default ACL gave the new file removed
// first), then its mode; then syncs it.
fault new_file_grant(new_file *n);

// Renames the new file over the old one, then syncs the folder. *placed
// says whether the rename took place. One not made stops an unoptimised
// build, and fails otherwise.
fault new_file_commit(new_file *n, bool *placed);

}  // namespace debugcfg

#endif
