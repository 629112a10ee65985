// The thin layer over the system that the rest stands on: descriptors and
// buffers that free themselves, stat, the command's one deadline and the
// monotonic clock, NFS revalidation, leases, and opening again what a
// descriptor holds without ever blocking.
//
// System calls that need nothing of the C library (no 64-bit or time
// argument, no account) are made as such with syscall(): each wrapper is
// one more versioned symbol bound at every start, and some 45 bytes of the
// device's tables.
#ifndef DEBUGCFG_SYSTEM_H
#define DEBUGCFG_SYSTEM_H

#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "reason.h"

// How long a command waits, all told, in seconds; in the words of its
// messages too.
#define DEBUG_PATIENCE_SECONDS 30
#define DEBUG_TEXT(x) DEBUG_TEXT_OF(x)
#define DEBUG_TEXT_OF(x) #x

// A small helper with a stack object of its own (a struct stat, a fault
// filled by a call): a copy at each of its few calls costs the device fewer
// bytes than a function of its own, with its stack canary.
#define DEBUG_INLINE __attribute__((always_inline)) inline

namespace debugcfg {

// Closes a descriptor when it goes out of scope.
struct fd_guard {
  int fd;
  explicit fd_guard(int f = -1) : fd(f) {}
  ~fd_guard() { reset(-1); }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  void reset(int f);
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

// True when a and b hold the same bytes.
bool same_text(const text_buf &a, const text_buf &b);

// Reads what fd holds from its start, up to limit + 1 bytes: more than
// limit says the file grew. Every read of the file is a pread, which leaves
// alone the offset that a stream handed to iniparser shares.
int read_upto(int fd, size_t limit, text_buf *buf);

// 0 when what fd holds is exactly text, 1 when it is not, -1 (errno set)
// when it can't be read.
int reads_back(int fd, const text_buf &text);

// fstat() as fstatat() with AT_EMPTY_PATH, which takes an O_PATH descriptor
// from Linux 2.6.39 on, whatever the C library makes of fstat().
inline int stat_fd(int fd, struct stat *st) { return fstatat(fd, "", st, AT_EMPTY_PATH); }

// True when a and b describe the same file.
inline bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

constexpr int kPatienceSeconds = DEBUG_PATIENCE_SECONDS;

// How long a file that another process holds open for writing must look
// the same, watched, before it is taken as not being written: a pause that
// long within a rewrite in place is not told from a process that only
// keeps the file open.
constexpr int kSettleSeconds = 2;

// Milliseconds on the monotonic clock, which no setting of the time moves:
// every interval the tool measures is measured on it, never on the wall
// clock (a device may boot at 1970, and NTP steps it either way). They
// wrap after 49 days, and the differences taken of them alike.
inline uint32_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_sec) * 1000 + static_cast<uint32_t>(now.tv_nsec / 1000000);
}

// The one deadline of a command, on the monotonic clock, kPatienceSeconds
// from its first wait; every later wait keeps to it.
struct patience {
  uint32_t first = 0;  // monotonic_ms() at the first wait
  bool waited = false;
  // Sleeps a step (10 ms, or what is left of the deadline; no signal is
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
DEBUG_INLINE bool debug_frozen(int fd) {
  constexpr unsigned long kGetFlags = _IOR('f', 1, long);  // FS_IOC_GETFLAGS
  constexpr int kImmutableOrAppend = 0x10 | 0x20;          // FS_IMMUTABLE_FL, FS_APPEND_FL
  int flags = 0;
  return syscall(SYS_ioctl, fd, kGetFlags, &flags) == 0 && (flags & kImmutableOrAppend) != 0;
}

// True when no account but root and uid can change what the names in the
// folder open at dir lead to: it is theirs, and its group and others may
// not write it.
bool debug_only_root_and(int dir, uid_t uid);

// The name under which /proc opens again what fd holds.
void proc_name(int fd, char (&name)[32]);

// Opens again, with flags, what the O_PATH descriptor obj holds, which is
// name in the folder open at dir: through /proc or, where /proc is not
// mounted, by that name if only root or this account can change the folder
// and it still names obj. Never blocks: while another process's lease
// holds the file, it tries again each step until the deadline. Returns the
// descriptor, or -1 with *why set (reason::no_proc where neither can be
// done, reason::leased).
int debug_reopen(int dir, const char *name, int obj, int flags, patience *wait, fault *why);

// Gives what was just made at fd the owner and group of `as`, open to no
// other account: mode `closed` (owner bits only), which also masks an ACL a
// folder's default ACL gave it. A step that is not needed is not taken, as
// some file systems refuse it; one that keeps no modes shows its own
// whatever is asked. Returns 0, or -1 with errno set.
DEBUG_INLINE int give_owner(int fd, const struct stat &as, mode_t closed) {
  struct stat made;
  if (stat_fd(fd, &made) != 0 || ((made.st_uid != as.st_uid || made.st_gid != as.st_gid) &&
                                  fchown(fd, as.st_uid, as.st_gid) != 0))
    return -1;
  if ((made.st_mode & 07777) != closed) syscall(SYS_fchmod, fd, closed);
  return 0;
}

// Takes a read lease on the file open for reading at in, so that any open
// of it for writing waits until this process gives the lease up (closes
// in), and breaks the lease meanwhile (debug_still_leased). A broken lease
// says so in the lease alone: the write command ignores SIGIO. Returns 1
// once leased; -1 where another process holds the file open for writing;
// 0 where leases say nothing of other machines' processes (NFS, SMB) or
// are refused.
int debug_lease(int in);

// True while the lease debug_lease took on in is unbroken.
bool debug_still_leased(int in);

}  // namespace debugcfg

#endif
