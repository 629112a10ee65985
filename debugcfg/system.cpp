#include "system.h"

#include <errno.h>
#include <string.h>
#include <sys/statfs.h>
#include <time.h>

namespace debugcfg {

namespace {

constexpr uint32_t kStepMs = 10;

// What the tool needs of the kernel's stable interface, under its own
// names: the C libraries declare some of it, each its own part, and the
// kernel's headers clash with theirs. SYS_statx alone comes from the C
// library, whose numbers are per architecture.
#ifndef SYS_statx
#error "SYS_statx is missing: the C library's kernel headers predate Linux 4.11"
#endif
constexpr int kStatxForceSync = 0x2000;      // AT_STATX_FORCE_SYNC
constexpr unsigned kStatxBasicStats = 0x7ff;  // STATX_BASIC_STATS
constexpr uint64_t kAttrMountRoot = 0x2000;   // STATX_ATTR_MOUNT_ROOT
// Superblock magic numbers: NFS, SMB, CIFS, SMB2.
constexpr unsigned kRemoteMagic[] = {0x6969U, 0x517BU, 0xFF534D42U, 0xFE534D42U};

// The attributes statx tells of the object open at fd, with flags and
// mask; none where it tells nothing.
uint64_t statx_attributes(int fd, int flags, unsigned mask) {
  uint64_t x[32];  // struct statx, 256 bytes: stx_attributes is its second word
  return syscall(SYS_statx, fd, "", AT_EMPTY_PATH | flags, mask, x) == 0 ? x[1] : 0;
}

// fcntl() for leases, made as the system call itself: the C library's
// wrapper (fcntl64, or its 64-bit time variant) adds nothing for leases.
long lease(int fd, int cmd, int arg) { return syscall(SYS_fcntl, fd, cmd, arg); }

// By its name in the folder, where only root and this account can change
// it (as good as /proc's name), if it still names obj; else -1, errno
// ESTALE where another object stands there.
int open_by_name(int dir, const char *name, int obj, int flags) {
  if (!debug_only_root_and(dir, geteuid())) return -1;
  fd_guard named(openat(dir, name, flags | O_NOFOLLOW | O_NOCTTY, 0));
  struct stat now;
  struct stat was;
  if (named.fd >= 0 &&
      (stat_fd(named.fd, &now) != 0 || stat_fd(obj, &was) != 0 || !same_file(now, was))) {
    errno = ESTALE;
    return -1;
  }
  return named.release();
}

// One try of debug_reopen.
int reopen_once(int dir, const char *name, int obj, int flags) {
  char proc[32];
  proc_name(obj, proc);
  int fd = openat(AT_FDCWD, proc, flags, 0);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Where /proc has the link, what it leads to is gone: NFS opens it again
  // by its name, which another client may have taken away. Look again.
  struct stat st;
  if (fstatat(AT_FDCWD, proc, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = ESTALE;
    return -1;
  }
  return open_by_name(dir, name, obj, flags);
}

}  // namespace

void fd_guard::reset(int f) {
  if (fd >= 0) syscall(SYS_close, fd);
  fd = f;
}

bool same_text(const text_buf &a, const text_buf &b) {
  return a.len == b.len && (a.len == 0 || memcmp(a.data, b.data, a.len) == 0);
}

int read_upto(int fd, size_t limit, text_buf *buf) {
  free(buf->data);
  buf->data = static_cast<char *>(malloc(limit + 1));
  buf->len = 0;
  if (!buf->data) return -1;
  for (ssize_t got = 1; got > 0 && buf->len <= limit; buf->len += static_cast<size_t>(got)) {
    got = pread(fd, buf->data + buf->len, limit + 1 - buf->len, static_cast<off_t>(buf->len));
    if (got < 0) return -1;
  }
  return 0;
}

int reads_back(int fd, const text_buf &text) {
  text_buf back;
  if (read_upto(fd, text.len, &back) != 0) return -1;
  return same_text(back, text) ? 0 : 1;
}

bool patience::step() {
  uint32_t now = monotonic_ms();
  if (!waited) first = now, waited = true;
  uint32_t gone = now - first;
  if (gone >= kPatienceSeconds * 1000U) return false;
  uint32_t left = kPatienceSeconds * 1000U - gone;
  struct timespec step = {0, static_cast<long>(left < kStepMs ? left : kStepMs) * 1000000};
  nanosleep(&step, nullptr);
  return true;
}

void debug_revalidate(int fd) { statx_attributes(fd, kStatxForceSync, kStatxBasicStats); }

bool debug_mount_point(int fd) { return (statx_attributes(fd, 0, 0) & kAttrMountRoot) != 0; }

bool debug_only_root_and(int dir, uid_t uid) {
  struct stat st;
  return stat_fd(dir, &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         (st.st_uid == 0 || st.st_uid == uid);
}

void proc_name(int fd, char (&name)[32]) {
  // By hand: every read makes this name, and printf's machinery costs a
  // command more than the rest of its start-up work of its own.
  constexpr char kDir[] = "/proc/self/fd/";
  memcpy(name, kDir, sizeof kDir - 1);
  char *end = name + sizeof kDir;  // past the last digit
  for (auto v = static_cast<unsigned>(fd); v >= 10; v /= 10) ++end;
  *end = '\0';
  for (auto v = static_cast<unsigned>(fd); end > name + sizeof kDir - 1; v /= 10)
    *--end = static_cast<char>('0' + v % 10);
}

int debug_reopen(int dir, const char *name, int obj, int flags, patience *wait, fault *why) {
  int fd = -1;
  flags |= O_NONBLOCK | O_CLOEXEC;
  while ((fd = reopen_once(dir, name, obj, flags)) < 0 && errno == EWOULDBLOCK)
    if (!wait->step()) {
      *why = {reason::leased};
      return -1;
    }
  if (fd < 0) *why = with_errno(errno);
  if (fd < 0 && why->err == ENOENT) *why = {reason::no_proc};
  return fd;
}

int debug_lease(int in) {
  // Leases say nothing of other machines' processes on NFS or SMB: there a
  // lease is not taken, as if a writer held the file.
  struct statfs fs;
  if (fstatfs(in, &fs) != 0) return 0;
  for (unsigned magic : kRemoteMagic)
    if (static_cast<unsigned>(fs.f_type) == magic) return 0;
  if (lease(in, F_SETLEASE, F_RDLCK) == 0) return 1;
  return errno == EAGAIN ? -1 : 0;
}

bool debug_still_leased(int in) { return lease(in, F_GETLEASE, 0) == F_RDLCK; }

}  // namespace debugcfg
