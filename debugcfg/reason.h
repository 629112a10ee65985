// What went wrong, as a value: a reason of the tool's own, the errno of a
// system call, and the name of the file or attribute a message names.
// Compared by value only; the write command alone turns it into text.
#ifndef DEBUGCFG_REASON_H
#define DEBUGCFG_REASON_H

#include <errno.h>
#include <limits.h>
#include <stddef.h>

namespace debugcfg {

enum class reason : unsigned char {
  none,
  system,             // a system call failed: err is its errno
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
  file_links,         // the file has another name, which would keep the old text
  nul_byte,           // the line editor's refusals
  line_too_long,
  no_parse,
  open_continuation,
  edit_too_big,
  edit_no_read_back,
  no_memory,
  lock_symlink,       // what stands at the lock's name is no lock of the
  lock_links,         // tool's (so is one that is not_regular)
  lock_not_empty,
  lock_owner,         // err is the lock's owner
  xattr,              // err is the errno; detail names the attribute
};

// Where a fault happened, when not at the configuration file itself.
enum class site : unsigned char {
  file,
  lock,      // the writers' lock file, which detail names
  new_file,  // the new file beside the old one, which detail names
};

struct fault {
  reason why = reason::none;
  site at = site::file;
  int err = 0;  // the errno of the system call that failed; for lock_owner, the lock's owner
};

constexpr bool failed(fault f) { return f.why != reason::none; }

// The fault of a system call that failed with err.
constexpr fault with_errno(int err) { return {reason::system, site::file, err}; }

// The fault of the system call that just failed.
inline fault from_errno() { return with_errno(errno); }

// A handle that an NFS server no longer knows: another client replaced the
// file or a folder. Never told: whatever meets it looks again from the path.
constexpr bool is_stale(fault f) { return f.why == reason::system && f.err == ESTALE; }

// Room for the name a fault's message gives: the lock file's path, or an
// extended attribute's name.
constexpr size_t kDetailSize = PATH_MAX + NAME_MAX + 16;

}  // namespace debugcfg

#endif
