#include "lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace debugcfg {

namespace {

constexpr long kStepNanoseconds = 10 * 1000000L;

// Tries the lock, then sleeps a step, until the deadline, whatever the
// timer's granularity. No signal is involved, so none that the caller
// blocked, ignored or set an alarm for changes the wait.
fault wait_turn(int fd, time_t until) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return from_errno();
    if (debug_past(until)) return {reason::no_turn};
    struct timespec step = {0, kStepNanoseconds};
    nanosleep(&step, nullptr);
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

// Makes the lock file, exclusively, as the file's owner's. Only a lock
// made here is ever given an owner or a mode. Returns its descriptor; -1
// with errno EEXIST where another writer made it first, or with *why set.
int make(const found &f, const char *name, fault *why) {
  fd_guard fd(openat(f.dir.fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.fd < 0) {
    *why = from_errno();
    return -1;
  }
  struct stat st;
  if (stat_fd(fd.fd, &st) != 0 ||
      ((st.st_uid != f.st.st_uid || st.st_gid != f.st.st_gid) &&
       fchown(fd.fd, f.st.st_uid, f.st.st_gid) != 0)) {
    *why = from_errno();
    unlinkat(f.dir.fd, name, 0);
    errno = 0;
    return -1;
  }
  // A file system that keeps no modes shows its own, whatever is asked,
  // and the write goes on: there, the folder's permissions and the
  // mount's guard the lock.
  if ((st.st_mode & 07777) != 0600) fchmod(fd.fd, 0600);
  return fd.release();
}

}  // namespace

fault debug_take_turn(const found &f, time_t until, fd_guard *lock, char (&detail)[kDetailSize]) {
  char name[NAME_MAX + 8];
  snprintf(name, sizeof name, ".%s.lock", f.name);
  fault why;
  for (;;) {
    lock->reset(-1);
    if (debug_past(until)) return {reason::no_turn};
    // Look, then open only what was looked at: nothing else at the name,
    // a device or a FIFO included, is ever opened.
    fd_guard look(openat(f.dir.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    bool replace = false;
    if (look.fd < 0) {
      why = from_errno();
      if (errno == ENOENT) lock->reset(make(f, name, &why));
      if (lock->fd < 0) {
        if (errno == EEXIST) continue;
        break;
      }
    } else {
      if (stat_fd(look.fd, &st) != 0) {
        why = from_errno();
        break;
      }
      if ((why.why = unlike(st)) != reason::none) break;
      if (st.st_uid != f.st.st_uid) {
        // Where only root and the file's owner can change the folder, no
        // one else can have left it: an earlier owner of the file did.
        why = {reason::lock_owner, false, static_cast<int>(st.st_uid)};
        if (!debug_only_root_and(f.dir.fd, f.st.st_uid)) break;
        replace = true;
      }
      lock->reset(debug_reopen(f.dir.fd, name, look.fd, O_RDWR | O_NONBLOCK | O_NOCTTY, true, &why));
      if (lock->fd < 0) break;
    }
    why = wait_turn(lock->fd, until);
    if (why.why == reason::no_turn) return why;
    if (failed(why)) break;
    // A writer may have replaced the lock meanwhile, and holds the new one:
    // a turn counts only while the name still leads to the lock held.
    struct stat held;
    struct stat now;
    if (stat_fd(lock->fd, &held) != 0) {
      why = from_errno();
      break;
    }
    if (fstatat(f.dir.fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != held.st_dev ||
        now.st_ino != held.st_ino)
      continue;
    if (!replace) return {};
    // Holding the earlier owner's lock, no writer is in its turn: the name
    // is freed for a lock of the present owner's.
    if (unlinkat(f.dir.fd, name, 0) != 0) {
      why = from_errno();
      break;
    }
  }
  if (is_stale(why)) return why;
  snprintf(detail, sizeof detail, "%s/%s", f.where, name);
  why.at_lock = true;
  return why;
}

}  // namespace debugcfg
