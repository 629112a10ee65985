#include "lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace debugcfg {

namespace {

// Tries the lock each step until the deadline.
fault wait_turn(int fd, patience *wait) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return from_errno();
    if (!wait->step()) return {reason::no_turn};
  }
  return {};
}

// Why what stands at the lock's name can't be a lock the tool made, or
// reason::none. Its owner is judged apart: an earlier owner of the file
// may have made it.
reason unlike(const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return reason::lock_symlink;
  if (!S_ISREG(st.st_mode)) return reason::not_regular;
  if (st.st_nlink != 1) return reason::lock_links;
  if (st.st_size != 0) return reason::lock_not_empty;
  return reason::none;
}

// Gives the unnamed file open at fd the name in dir, unless something
// stands there (EEXIST); through /proc, or by its descriptor, which root
// may link.
int link_fd(int fd, int dir, const char *name) {
  char proc[32];
  proc_name(fd, proc);
  if (linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  return errno == EEXIST ? -1 : linkat(fd, "", dir, name, AT_EMPTY_PATH);
}

// True while the lock's name leads to the lock open at fd.
bool still_named(const found &f, const char *name, int fd) {
  struct stat held;
  struct stat now;
  return stat_fd(fd, &held) == 0 && fstatat(f.dir.fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         now.st_dev == held.st_dev && now.st_ino == held.st_ino;
}

// Makes the lock file, whole before any writer can see it: unnamed
// (O_TMPFILE), given the file's owner, group and mode, then linked to its
// name. Where the file system makes no unnamed files, or one can't be
// linked (no /proc, and not root), it is made at its name; if it can't be
// given its owner it is removed again, by a writer in its turn on it only,
// while the name still leads to it.
// Returns its descriptor, or -1 with *why set, or none where another
// writer made it first.
int make(const found &f, const char *name, fault *why) {
  fd_guard fd(openat(f.dir.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (fd.fd >= 0) {
    if (give_owner(fd.fd, f.st, 0600) == 0 && link_fd(fd.fd, f.dir.fd, name) == 0) return fd.release();
    if (errno != ENOENT) {
      if (errno != EEXIST) *why = from_errno();
      return -1;
    }
  }
  fd.reset(openat(f.dir.fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.fd < 0 || give_owner(fd.fd, f.st, 0600) != 0) {
    if (fd.fd >= 0 || errno != EEXIST) *why = from_errno();
    // Holding it, and its name leading to it, no other writer can be in a
    // turn on what the name leads to, nor change the name.
    if (fd.fd >= 0 && flock(fd.fd, LOCK_EX | LOCK_NB) == 0 && still_named(f, name, fd.fd))
      unlinkat(f.dir.fd, name, 0);
    return -1;
  }
  return fd.release();
}

// Opens what stands at the lock's name, after a look at it that opens
// nothing, so that nothing else there (a device, a FIFO) is ever opened;
// makes it where nothing stands. *replace says it is an earlier owner's.
// Returns why not, or none with lock->fd -1 where another writer made it
// first.
fault open_lock(const found &f, const char *name, patience *wait, fd_guard *lock,
                bool *replace) {
  fd_guard look(openat(f.dir.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  fault why;
  if (look.fd < 0) {
    if (errno != ENOENT) return from_errno();
    lock->reset(make(f, name, &why));
    return why;
  }
  struct stat st;
  if (stat_fd(look.fd, &st) != 0) return from_errno();
  if (unlike(st) != reason::none) return fault{unlike(st)};
  // Where only root and the file's owner can change the folder, no one
  // else can have left a lock of another account: an earlier owner of the
  // file did.
  *replace = st.st_uid != f.st.st_uid;
  if (*replace && !debug_only_root_and(f.dir.fd, f.st.st_uid))
    return fault{reason::lock_owner, site::file, static_cast<int>(st.st_uid)};
  lock->reset(debug_reopen(f.dir.fd, name, look.fd, O_RDWR | O_NOCTTY, true, wait, &why));
  return why;
}

}  // namespace

fault debug_take_turn(const found &f, patience *wait, fd_guard *lock,
                      char (&detail)[kDetailSize]) {
  char name[NAME_MAX + 8];
  snprintf(name, sizeof name, ".%s.lock", f.name);
  fault why;
  do {
    bool replace = false;
    lock->reset(-1);
    why = open_lock(f, name, wait, lock, &replace);
    if (failed(why)) break;
    if (lock->fd < 0) continue;  // another writer made it first
    if (failed(why = wait_turn(lock->fd, wait))) break;
    // A writer may have replaced the lock meanwhile, and holds the new
    // one: a turn counts only while the name still leads to the lock held.
    if (!still_named(f, name, lock->fd)) continue;
    if (!replace) return {};
    // Holding the earlier owner's lock, no writer is in its turn: the name
    // is freed for a lock of the present owner's.
    if (unlinkat(f.dir.fd, name, 0) != 0) {
      why = from_errno();
      break;
    }
  } while (wait->step());
  lock->reset(-1);
  if (!failed(why)) why = fault{reason::no_turn};
  if (why.why == reason::no_turn || is_stale(why)) return why;
  name_in(detail, f.where, name);
  why.at = site::lock;
  return why;
}

}  // namespace debugcfg
