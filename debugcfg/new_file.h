// The new text's file beside the old one, with the life of git's lockfile:
// made (held) open to no account but this process's, written and read
// back, opened to exactly what the old file grants, then committed by its
// rename over the old one, or rolled back: removed when it goes out of
// scope uncommitted. Only a writer in its turn makes one.
#ifndef DEBUGCFG_NEW_FILE_H
#define DEBUGCFG_NEW_FILE_H

#include <limits.h>

#include "reason.h"
#include "system.h"
#include "walk.h"

namespace debugcfg {

struct new_file {
  const found *old = nullptr;    // the file it is to replace
  char name[NAME_MAX + 8] = "";  // .<name>.tmp, beside it
  fd_guard fd;
  bool committed = false;
  new_file() = default;
  ~new_file();
  new_file(const new_file &) = delete;
  new_file &operator=(const new_file &) = delete;
};

// Makes the new file beside old, first removing whatever an interrupted
// write left at its name, whoever's it was: exclusively, given the old
// file's owner and group and no more of its mode than the owner's bits, then those of the old file's extended
// attributes that grant no access (security labels, user and trusted
// attributes), read from the old file open at in. Returns why not; a fault
// of a system call on the new file is at site::new_file, which detail names.
fault new_file_make(new_file *n, const found &old, int in, char (&detail)[kDetailSize]);

// Writes text into the new file from its start, whole, and reads it back.
fault new_file_write(new_file *n, const text_buf &text, char (&detail)[kDetailSize]);

// Opens the new file to exactly what the old one, open at in, grants: the
// old file's ACL (one the folder's default ACL gave the new file removed
// first), then its mode; then syncs it.
fault new_file_open(new_file *n, int in, char (&detail)[kDetailSize]);

// Renames the new file over the old one, then syncs the folder. *placed
// says whether the rename took place.
fault new_file_commit(new_file *n, bool *placed);

}  // namespace debugcfg

#endif
