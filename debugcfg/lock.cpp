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
const char *wait_turn(int fd, time_t until) {
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return errno_text();
    if (debug_past(until)) return kNoTurn;
    struct timespec step = {0, kStepNanoseconds};
    nanosleep(&step, nullptr);
  }
  return nullptr;
}

// Why what stands at the lock's name can't be a lock the tool made, or
// null. Its owner is judged apart: an earlier owner of the file may have
// made it.
const char *unlike(const struct stat &st) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (!S_ISREG(st.st_mode)) return kNotRegular;
  if (st.st_nlink != 1) return "has other links";
  if (st.st_size != 0) return "not empty";
  return nullptr;
}

// Makes the lock file, exclusively, as the file's owner's. Only a lock
// made here is ever given an owner or a mode. Returns its descriptor; -1
// with errno EEXIST where another writer made it first, or with *why set.
int make(const found &f, const char *name, const char **why) {
  fd_guard fd(openat(f.dir.fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd.fd < 0) {
    *why = errno_text();
    return -1;
  }
  struct stat st;
  if (stat_fd(fd.fd, &st) != 0 ||
      ((st.st_uid != f.st.st_uid || st.st_gid != f.st.st_gid) &&
       fchown(fd.fd, f.st.st_uid, f.st.st_gid) != 0)) {
    *why = errno_text();
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

const char *debug_take_turn(const found &f, time_t until, fd_guard *lock,
                            char *msg, size_t size) {
  char name[NAME_MAX + 8];
  snprintf(name, sizeof name, ".%s.lock", f.name);
  const char *why = nullptr;
  const char *unsafe = "";  // "unsafe " where what stands there is refused
  char owner[32];
  for (;;) {
    lock->reset(-1);
    if (debug_past(until)) return kNoTurn;
    // Look, then open only what was looked at: nothing else at the name,
    // a device or a FIFO included, is ever opened.
    fd_guard look(openat(f.dir.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    bool replace = false;
    if (look.fd < 0) {
      why = errno_text();
      if (errno == ENOENT) lock->reset(make(f, name, &why));
      if (lock->fd < 0) {
        if (errno == EEXIST) continue;
        break;
      }
    } else {
      if (stat_fd(look.fd, &st) != 0) {
        why = errno_text();
        break;
      }
      unsafe = "unsafe ";
      if ((why = unlike(st))) break;
      if (st.st_uid != f.st.st_uid) {
        // Where only root and the file's owner can change the folder, no
        // one else can have left it: an earlier owner of the file did.
        snprintf(owner, sizeof owner, "owned by account %u", static_cast<unsigned>(st.st_uid));
        why = owner;
        if (!debug_only_root_and(f.dir.fd, f.st.st_uid)) break;
        replace = true;
      }
      unsafe = "";
      lock->reset(debug_reopen(f.dir.fd, name, look.fd, O_RDWR | O_NONBLOCK | O_NOCTTY, true, &why));
      if (lock->fd < 0) break;
    }
    why = wait_turn(lock->fd, until);
    if (why == kNoTurn) return why;
    if (why) break;
    // A writer may have replaced the lock meanwhile, and holds the new one:
    // a turn counts only while the name still leads to the lock held.
    struct stat held;
    struct stat now;
    if (stat_fd(lock->fd, &held) != 0) {
      why = errno_text();
      break;
    }
    if (fstatat(f.dir.fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != held.st_dev ||
        now.st_ino != held.st_ino)
      continue;
    if (!replace) return nullptr;
    // Holding the earlier owner's lock, no writer is in its turn: the name
    // is freed for a lock of the present owner's.
    if (unlinkat(f.dir.fd, name, 0) != 0) {
      why = errno_text();
      break;
    }
  }
  if (why == kStale) return why;
  snprintf(msg, size, "%slock file %s/%s: %s", unsafe, f.where, name, why);
  return msg;
}

}  // namespace debugcfg
