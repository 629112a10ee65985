#include "system.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/syscall.h>

namespace debugcfg {

namespace {

constexpr long kStepNanoseconds = 10 * 1000000L;

// A file another process holds open for writing and changed within this
// many seconds is being written.
constexpr time_t kSettleSeconds = 2;

// What the tool needs of the kernel's stable interface, under its own
// names: the C libraries declare some of it, each its own part, and the
// kernel's headers clash with theirs. SYS_statx alone comes from the C
// library, whose numbers are per architecture.
#ifndef SYS_statx
#error "SYS_statx is missing: the C library's kernel headers predate Linux 4.11"
#endif
struct kernel_statx {  // struct statx: 256 bytes, fields this far
  uint32_t mask;
  uint32_t blksize;
  uint64_t attributes;
  unsigned char rest[240];
};
static_assert(sizeof(kernel_statx) == 256, "struct statx is 256 bytes");
constexpr int kStatxForceSync = 0x2000;      // AT_STATX_FORCE_SYNC
constexpr unsigned kStatxBasicStats = 0x7ff;  // STATX_BASIC_STATS
constexpr uint64_t kAttrMountRoot = 0x2000;   // STATX_ATTR_MOUNT_ROOT
constexpr unsigned long kGetFlags = _IOR('f', 1, long);  // FS_IOC_GETFLAGS
constexpr int kImmutable = 0x10;              // FS_IMMUTABLE_FL
constexpr int kAppendOnly = 0x20;             // FS_APPEND_FL
constexpr unsigned kNfsMagic = 0x6969U;       // superblock magic numbers
constexpr unsigned kSmbMagic = 0x517BU;
constexpr unsigned kCifsMagic = 0xFF534D42U;
constexpr unsigned kSmb2Magic = 0xFE534D42U;

// True when the file open at fd changed within kSettleSeconds. A time with
// no fraction may come from a file system that keeps whole seconds: it is
// taken as the end of its second.
bool changed_lately(int fd) {
  struct stat st;
  struct timespec now;
  if (stat_fd(fd, &st) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
  time_t seconds = now.tv_sec - st.st_mtim.tv_sec;
  if (now.tv_nsec < (st.st_mtim.tv_nsec ? st.st_mtim.tv_nsec : 999999999L)) --seconds;
  return seconds < kSettleSeconds;
}

// True on file systems whose leases say nothing of the other machines'
// processes: a lease there is refused as if a writer held the file.
bool remote(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return true;
  auto type = static_cast<unsigned>(fs.f_type);
  return type == kNfsMagic || type == kSmbMagic || type == kCifsMagic || type == kSmb2Magic;
}

// fcntl() for leases, made as the system call itself: the C library's
// wrapper (fcntl64, or its 64-bit time variant) adds nothing for leases,
// and would be one more versioned symbol to bind at every start.
long lease(int fd, int cmd, int arg) { return syscall(SYS_fcntl, fd, cmd, arg); }

// By its name in the folder, where only root and this account can change
// it (as good as /proc's name), if it still names obj; else -1, errno
// ESTALE where another object stands there.
int open_by_name(int dir, const char *name, int obj, int flags) {
  if (!debug_only_root_and(dir, geteuid())) return -1;
  fd_guard named(openat(dir, name, flags | O_NOFOLLOW | O_NOCTTY, 0));
  struct stat now;
  struct stat was;
  if (named.fd >= 0 && (stat_fd(named.fd, &now) != 0 || stat_fd(obj, &was) != 0 ||
                        now.st_dev != was.st_dev || now.st_ino != was.st_ino)) {
    errno = ESTALE;
    return -1;
  }
  return named.release();
}

// One try of debug_reopen.
int reopen_once(int dir, const char *name, int obj, int flags, bool by_name) {
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
  return by_name ? open_by_name(dir, name, obj, flags) : -1;
}

}  // namespace

bool patience::step() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (!until) until = now.tv_sec + kPatienceSeconds;
  if (now.tv_sec > until) return false;
  struct timespec step = {0, kStepNanoseconds};
  nanosleep(&step, nullptr);
  return true;
}

void debug_revalidate(int fd) {
  kernel_statx x;
  syscall(SYS_statx, fd, "", AT_EMPTY_PATH | kStatxForceSync, kStatxBasicStats, &x);
}

bool debug_mount_point(int fd) {
  kernel_statx x;
  return syscall(SYS_statx, fd, "", AT_EMPTY_PATH, 0, &x) == 0 && (x.attributes & kAttrMountRoot) != 0;
}

bool debug_frozen(int fd) {
  int flags = 0;
  return ioctl(fd, kGetFlags, &flags) == 0 && (flags & (kImmutable | kAppendOnly)) != 0;
}

bool debug_only_root_and(int dir, uid_t uid) {
  struct stat st;
  return stat_fd(dir, &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         (st.st_uid == 0 || st.st_uid == uid);
}

void proc_name(int fd, char (&name)[32]) {
  // By hand: every read makes this name, and printf's machinery costs a
  // command more than the rest of its start-up work of its own.
  constexpr char kDir[] = "/proc/self/fd/";
  char digits[12];
  size_t n = 0;
  for (auto v = static_cast<unsigned>(fd); n == 0 || v > 0; v /= 10)
    digits[n++] = static_cast<char>('0' + v % 10);
  memcpy(name, kDir, sizeof kDir - 1);
  for (size_t i = 0; i < n; ++i) name[sizeof kDir - 1 + i] = digits[n - 1 - i];
  name[sizeof kDir - 1 + n] = '\0';
}

void name_in(char (&detail)[kDetailSize], const char *where, const char *name) {
  snprintf(detail, sizeof detail, "%s/%s", where, name);
}

int debug_reopen(int dir, const char *name, int obj, int flags, bool by_name, patience *wait,
                 fault *why) {
  int fd = -1;
  flags |= O_NONBLOCK | O_CLOEXEC;
  while ((fd = reopen_once(dir, name, obj, flags, by_name)) < 0 && errno == EWOULDBLOCK)
    if (!wait->step()) {
      *why = {reason::leased};
      return -1;
    }
  if (fd < 0) *why = errno == ENOENT ? fault{reason::no_proc} : from_errno();
  return fd;
}

int give_owner(int fd, const struct stat &as, mode_t closed) {
  struct stat made;
  if (stat_fd(fd, &made) != 0 ||
      ((made.st_uid != as.st_uid || made.st_gid != as.st_gid) && fchown(fd, as.st_uid, as.st_gid) != 0))
    return -1;
  if ((made.st_mode & 07777) != closed) fchmod(fd, closed);
  return 0;
}

fault debug_watch(int in, bool came, bool *leased) {
  *leased = false;
  if (remote(in)) return {};
  // A lease broken while it is held says so in the lease alone: the
  // signal the kernel sends then would end the process.
  signal(SIGIO, SIG_IGN);
  if (lease(in, F_SETLEASE, F_RDLCK) == 0) {
    *leased = true;
    return {};
  }
  return errno == EAGAIN && (came || changed_lately(in)) ? fault{reason::busy} : fault{};
}

bool debug_still_leased(int in) { return lease(in, F_GETLEASE, 0) == F_RDLCK; }

}  // namespace debugcfg
