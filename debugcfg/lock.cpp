#include "lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "debug_config.h"

namespace debugcfg {

namespace {

constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE

// A making takes a few system calls: a temporary lock file that has stood
// the same for half a second was left by one cut short, or stopped, which
// looks again as it goes on.
constexpr uint32_t kMakingMs = 500;

// Why what stands at the lock's name can't be a lock the tool made, or
// reason::none. Its owner is judged apart: an earlier owner of the file
// may have made it.
reason unlike(const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return reason::lock_symlink;
  if (!S_ISREG(st.st_mode)) return reason::lock_not_regular;
  if (st.st_nlink != 1) return reason::lock_links;
  if (st.st_size != 0) return reason::lock_not_empty;
  return reason::none;
}

// True while name in the folder open at dir leads to what `held` describes.
DEBUG_INLINE bool leads_to(int dir, const char *name, const struct stat &held) {
  struct stat now;
  return fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(now, held);
}

// The lock's name, the name it is made under, and what a look at that
// name last saw there: another making's file, and since when.
struct lock_names {
  char lock[NAME_MAX + 8];
  char temp[NAME_MAX + 12];
  ino_t seen = 0;  // 0: none yet
  uint32_t since = 0;  // monotonic_ms()
};

// True where another making's file stands at the temporary name, to be
// looked at again. It is given up once it has stayed the same for
// kMakingMs, on the monotonic clock.
bool making_under_way(int dir, lock_names *n) {
  struct stat st;
  if (fstatat(dir, n->temp, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (st.st_ino != n->seen)
    n->seen = st.st_ino, n->since = monotonic_ms();
  else if (monotonic_ms() - n->since >= kMakingMs)
    syscall(SYS_unlinkat, dir, n->temp, 0);
  return true;
}

// Makes the lock file, whole before any writer can see it at its name, on
// every file system, with unnamed files (O_TMPFILE) or without (NFS,
// JFFS2, vfat, FUSE): made under the temporary name, given the file's
// owner, group and mode 0600, then placed at its name by a link to its
// descriptor or, where that can't be had (vfat has no hard links; without
// /proc only root links a descriptor), by a rename that replaces nothing
// while the temporary name still leads to it. The temporary name then
// goes, the lock closed first: NFS would keep the name an open file loses
// as a .nfs file, a second link to it. A making cut short leaves at most
// the temporary name, alone or as a second link to the lock, which the
// next writer gives up (making_under_way). Returns why not; none where the
// lock is to be looked at again (placed, another writer's there, or
// another making under way).
fault make(const found &f, lock_names *n) {
  int dir = f.dir.fd;
  fd_guard fd(openat(dir, n->temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat held;
  if (fd.fd < 0 || stat_fd(fd.fd, &held) != 0) {
    if (errno != EEXIST) return from_errno();
    making_under_way(dir, n);
    return {};
  }
  // Linked through /proc, or by the descriptor, which root may link.
  char proc[32];
  proc_name(fd.fd, proc);
  fault why;
  if (give_owner(fd.fd, f.st, 0600) != 0 ||
      (syscall(SYS_linkat, AT_FDCWD, proc, dir, n->lock, AT_SYMLINK_FOLLOW) != 0 &&
       errno != EEXIST && syscall(SYS_linkat, fd.fd, "", dir, n->lock, AT_EMPTY_PATH) != 0 &&
       errno != EEXIST && leads_to(dir, n->temp, held) &&
       syscall(SYS_renameat2, dir, n->temp, dir, n->lock, kRenameNoReplace) != 0 &&
       errno != EEXIST))
    why = from_errno();
  fd.reset(-1);
  if (leads_to(dir, n->temp, held)) syscall(SYS_unlinkat, dir, n->temp, 0);
  return why;
}

// Opens what stands at the lock's name, after a look at it that opens
// nothing, so that nothing else there (a device, a FIFO) is ever opened;
// makes it where nothing stands. *replace says it is an earlier owner's.
// Returns why not, or none with lock->fd -1 where it is to be looked at
// again.
fault open_lock(const found &f, lock_names *n, patience *wait, fd_guard *lock, bool *replace) {
  fd_guard look(openat(f.dir.fd, n->lock, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  fault why;
  if (look.fd < 0) return errno == ENOENT ? make(f, n) : from_errno();
  struct stat st;
  if (stat_fd(look.fd, &st) != 0) return from_errno();
  if (st.st_nlink != 1) {
    // A making that has placed the lock keeps its temporary name, a second
    // link, until it gives it up, or a writer gives it up for it. Then the
    // count as the file system has it afresh: NFS and FUSE cache it.
    if (making_under_way(f.dir.fd, n)) return {};
    debug_revalidate(look.fd);
    if (stat_fd(look.fd, &st) != 0) return from_errno();
  }
  if (unlike(st) != reason::none) return {unlike(st)};
  // Where only root and the file's owner can change the folder, no one
  // else can have left a lock of another account: an earlier owner of the
  // file did.
  *replace = st.st_uid != f.st.st_uid;
  if (*replace && !debug_only_root_and(f.dir.fd, f.st.st_uid)) {
    why = {reason::lock_owner};
    why.account = st.st_uid;
    return why;
  }
  lock->reset(debug_reopen(f.dir.fd, n->lock, look.fd, O_RDWR | O_NOCTTY, wait, &why));
  return why;
}

}  // namespace

fault debug_take_turn(const found &f, patience *wait, fd_guard *lock) {
  lock_names n;
  snprintf(n.lock, sizeof n.lock, ".%s" DEBUG_LOCK_SUFFIX, f.name);
  snprintf(n.temp, sizeof n.temp, "%s" DEBUG_NEW_SUFFIX, n.lock);
  fault why;
  do {
    bool replace = false;
    lock->reset(-1);
    why = open_lock(f, &n, wait, lock, &replace);
    if (failed(why)) break;
    if (lock->fd < 0) continue;  // to be looked at again
    // The lock, tried each step until the deadline.
    long taken = 0;
    while ((taken = syscall(SYS_flock, lock->fd, LOCK_EX | LOCK_NB)) != 0 && errno == EWOULDBLOCK &&
           wait->step()) {}
    if (taken != 0) {
      why = errno == EWOULDBLOCK ? fault{reason::no_turn} : from_errno();
      break;
    }
    // A writer may have replaced the lock meanwhile, and holds the new
    // one: a turn counts only while the name still leads to the lock held.
    struct stat held;
    if (stat_fd(lock->fd, &held) != 0 || !leads_to(f.dir.fd, n.lock, held)) continue;
    if (!replace) return {};
    // Holding the earlier owner's lock, no writer is in its turn: the name
    // is freed for a lock of the present owner's.
    if (syscall(SYS_unlinkat, f.dir.fd, n.lock, 0) != 0) {
      why = from_errno();
      break;
    }
  } while (wait->step());
  lock->reset(-1);
  if (!failed(why)) why = fault{reason::no_turn};
  if (why.why == reason::no_turn || is_stale(why)) return why;
  // The lock's reasons name it; a system call's failure there is lock_file's.
  if (why.why == reason::system) why.why = reason::lock_file;
  why.name = f.path;
  return why;
}

}  // namespace debugcfg
