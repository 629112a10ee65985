// The thin layer over the system that the rest stands on: descriptors and
// buffers that free themselves, stat, the command's one deadline, NFS
// revalidation, leases, and opening again what a descriptor holds without
// ever blocking.
#ifndef DEBUGCFG_SYSTEM_H
#define DEBUGCFG_SYSTEM_H

#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "reason.h"

namespace debugcfg {

// Closes a descriptor when it goes out of scope.
struct fd_guard {
  int fd = -1;
  fd_guard() = default;
  explicit fd_guard(int f) : fd(f) {}
  ~fd_guard() { reset(-1); }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  void reset(int f) {
    if (fd >= 0) close(fd);
    fd = f;
  }
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

// A byte buffer from malloc, freed with its owner.
struct text_buf {
  char *data = nullptr;
  size_t len = 0;
  text_buf() = default;
  ~text_buf() { free(data); }
  text_buf(const text_buf &) = delete;
  text_buf &operator=(const text_buf &) = delete;
};

// fstat() as fstatat() with AT_EMPTY_PATH, which takes an O_PATH descriptor
// from Linux 2.6.39 on, whatever the C library makes of fstat().
inline int stat_fd(int fd, struct stat *st) { return fstatat(fd, "", st, AT_EMPTY_PATH); }

// How long a command waits, all told: for its turn, for another process's
// lease or writing, for handles that keep going stale.
constexpr int kPatienceSeconds = 30;

// The one deadline of a command, on the monotonic clock, counted in whole
// seconds from its first wait; every later wait keeps to it.
struct patience {
  time_t until = 0;
  // Sleeps a step (10 ms, whatever the timer's granularity; no signal is
  // involved) and returns true, or returns false once the deadline has
  // passed.
  bool step();
};

// Has the file system fetch afresh what it knows of the object open at fd
// (AT_STATX_FORCE_SYNC): NFS then drops what it cached from before another
// client changed it, the names in a folder among it. Elsewhere a no-op.
void debug_revalidate(int fd);

// True when a file is mounted over the name the object open at fd has,
// which Linux 5.8 and later tell; elsewhere the rename is refused as busy,
// which says the same. st_dev can't tell it: an overlay gives its files
// the device of the layer they come from.
bool debug_mount_point(int fd);

// True when the object open at fd is immutable or append-only (chattr +i,
// +a), which forbids replacing the file; a file system without such flags
// has none.
bool debug_frozen(int fd);

// True when no account but root and uid can change what the names in the
// folder open at dir lead to: it is theirs, and its group and others may
// not write it.
bool debug_only_root_and(int dir, uid_t uid);

// The name under which /proc opens again what fd holds.
void proc_name(int fd, char (&name)[32]);

// Puts "where/name" in detail: the path a message names.
void name_in(char (&detail)[kDetailSize], const char *where, const char *name);

// Opens again, with flags, what the O_PATH descriptor obj holds, which is
// name in the folder open at dir: through /proc or, where /proc is not
// mounted and by_name, by that name if only root or this account can
// change the folder and it still names obj. Never blocks: while another
// process's lease holds the file, it tries again each step until the
// deadline. Returns the descriptor, or -1 with *why set (reason::no_proc
// where neither can be done, reason::leased).
int debug_reopen(int dir, const char *name, int obj, int flags, bool by_name, patience *wait,
                 fault *why);

// Gives what was just made at fd the owner and group of `as`, open to no
// other account: mode `closed` (owner bits only), which also masks an ACL a
// folder's default ACL gave it. A step that is not needed is not taken, as
// some file systems refuse it; one that keeps no modes shows its own
// whatever is asked. Returns 0, or -1 with errno set.
int give_owner(int fd, const struct stat &as, mode_t closed);

// Whether another process that changes the file in place, taking no turn,
// is seen: the file open for reading at in is leased, so that any open of
// it for writing waits until this process gives the lease up, and breaks
// the lease meanwhile (debug_still_leased). Where another process already
// holds the file open for writing, the file is being written if it
// changed within the last two seconds, or if that process opened it while
// this one held a lease (came): reason::busy, to look again after a step.
// One that only keeps the file open, unchanged, delays nothing. Where
// leases say nothing of other machines' processes (NFS, SMB) or are
// missing, the file is left unwatched. Returns busy or none, with *leased
// set.
fault debug_watch(int in, bool came, bool *leased);

// True while the lease debug_watch took on in is unbroken.
bool debug_still_leased(int in);

}  // namespace debugcfg

#endif
