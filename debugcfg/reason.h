// What went wrong, as a value: a reason of the tool's own, the errno of a
// system call, and what the message names. Compared by value only;
// debug_fault_text (texts.cpp) alone turns it into words.
#ifndef DEBUGCFG_REASON_H
#define DEBUGCFG_REASON_H

#include <errno.h>

namespace debugcfg {

enum class reason : unsigned char {
  none,
  system,             // a system call on the file failed: err is its errno
  unsafe_path,        // a step another account could lead elsewhere
  not_regular,        // a FIFO, a device, a socket or a folder at the path
  no_proc,            // the found file can be handed on by no name
  no_turn,            // no turn within the deadline
  leased,             // another process's lease held the file past it
  busy,               // another process was writing the file all along
  changed,            // another process kept changing the file
  no_load,            // the file does not load through iniparser
  new_no_load,        // the new text does not load
  no_verify,          // the new text loads otherwise than it should
  not_read_back,      // the new file does not hold what was written
  mount_point,        // a file is mounted over the name
  file_frozen,        // chattr +i or +a on the file
  folder_frozen,      // chattr +i or +a on its folder
  file_links,         // another name of the file would keep the old text
  // The line editor's refusals.
  nul_byte, line_too_long, no_parse, open_continuation, edit_too_big, edit_no_read_back,
  no_memory,
  lock_file,          // a system call on the lock file failed: err
  // What stands at the lock's name is no lock of the tool's; lock_owner's
  // account is its owner's.
  lock_symlink, lock_not_regular, lock_links, lock_not_empty, lock_owner,
  new_file,           // a system call on the new file failed: err
  xattr,              // an extended attribute could not be carried: err
};

struct fault {
  constexpr fault(reason r = reason::none, int e = 0, const char *n = nullptr)
      : why(r), err(e), name(n) {}
  reason why;
  union {
    int err;           // the errno of the system call that failed
    unsigned account;  // for lock_owner
  };
  // For the lock file's and the new file's reasons, the configuration
  // file's path (found::path), which they stand beside; for xattr, the
  // attribute's name (view::attrs).
  const char *name;
};

constexpr bool failed(fault f) { return f.why != reason::none; }

// The fault of a system call that failed with err.
constexpr fault with_errno(int err) { return {reason::system, err}; }

// The fault of the system call that just failed.
inline fault from_errno() { return with_errno(errno); }

// A handle that an NFS server no longer knows: another client replaced the
// file or a folder. Whatever meets it looks again from the path, and only
// once the deadline has passed is it told.
constexpr bool is_stale(fault f) { return f.why == reason::system && f.err == ESTALE; }

}  // namespace debugcfg

#endif
