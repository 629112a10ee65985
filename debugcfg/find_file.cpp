#include "find_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <linux/stat.h>

namespace debugcfg {

namespace {

constexpr int kMaxLinks = 40;

#if DEBUG_INIPARSER_LOAD_FILE
constexpr bool kTakesStream = true;
#else
constexpr bool kTakesStream = false;
#endif

// A folder or link may lead only to what its owner owns, unless root owns
// it: another account could otherwise point root's write at root's files.
bool unsafe(uid_t lead, uid_t to) { return lead != 0 && lead != to; }

int open_root(fd_guard *here) {
  here->reset(openat(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return here->fd;
}

// Where /proc is not mounted, a name in a folder that no account but root
// and this one can change is as good as /proc's for the object found.
bool trusted(int dir) { return debug_only_root_and(dir, geteuid()); }

// The name under which /proc opens the object at fd again.
void fd_name(int fd, char (&name)[32]) { snprintf(name, sizeof name, "/proc/self/fd/%d", fd); }

}  // namespace

time_t debug_deadline(int seconds) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + seconds;
}

bool debug_past(time_t until) { return debug_deadline(0) > until; }

void debug_revalidate(int fd) {
#ifdef AT_STATX_FORCE_SYNC
  struct statx x;
  syscall(SYS_statx, fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &x);
#else
  (void)fd;
#endif
}

bool debug_only_root_and(int dir, uid_t uid) {
  struct stat st;
  return stat_fd(dir, &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
         (st.st_uid == 0 || st.st_uid == uid);
}

fault debug_walk(const char *path, found *out) {
  // The path left to follow, in one buffer while a link's text and what
  // follows it go into the other.
  char todo[2][PATH_MAX];
  int cur = 0;
  size_t len = strlen(path);
  if (len >= PATH_MAX) return with_errno(ENAMETOOLONG);
  memcpy(todo[0], path, len + 1);
  const char *p = todo[0];
  fd_guard here;     // the folder the next name is looked up in
  size_t at = 0;     // the length of its path in out->where
  struct stat st;
  if (open_root(&here) < 0 || stat_fd(here.fd, &st) != 0) return from_errno();
  uid_t lead = st.st_uid;  // who leads there: the folder's owner, or the last link's
  for (int links = 0;;) {
    // Empty names and "." are no steps, as for the kernel; a path that
    // ends in "/" or "/." names the folder reached, as its ".".
    while (*p == '/' || (p[0] == '.' && (p[1] == '/' || p[1] == '\0'))) ++p;
    size_t n = 0;
    while (p[n] && p[n] != '/') ++n;
    if (n > NAME_MAX) return with_errno(ENAMETOOLONG);
    if (n == 0) p = ".", n = 1;
    memcpy(out->name, p, n);
    out->name[n] = '\0';
    p += n;

    fd_guard next(openat(here.fd, out->name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.fd < 0 || stat_fd(next.fd, &st) != 0) return from_errno();
    if (unsafe(lead, st.st_uid)) return {reason::unsafe_path};
    lead = st.st_uid;
    if (S_ISLNK(st.st_mode)) {
      char *link = todo[cur ^ 1];
      ssize_t got = readlinkat(next.fd, "", link, PATH_MAX);
      if (got < 0) return from_errno();
      size_t rest = strlen(p) + 1;
      if (++links > kMaxLinks) return with_errno(ELOOP);
      if (static_cast<size_t>(got) + rest > PATH_MAX) return with_errno(ENAMETOOLONG);
      memcpy(link + got, p, rest);
      p = link;
      cur ^= 1;
      if (*p == '/') {
        if (open_root(&here) < 0) return from_errno();
        at = 0;
      }
      continue;
    }
    if (*p == '\0') {
      out->where[at] = '\0';
      out->dir.reset(here.release());
      out->obj.reset(next.release());
      out->st = st;
      return {};
    }
    if (!S_ISDIR(st.st_mode)) return with_errno(ENOTDIR);
    here.reset(next.release());
    if (strcmp(out->name, "..") == 0) {
      while (at > 0 && out->where[--at] != '/') {}
    } else if (at + n + 1 < sizeof out->where) {  // past that, only for messages
      out->where[at] = '/';
      memcpy(out->where + at + 1, out->name, n);
      at += n + 1;
    }
  }
}

int debug_reopen(int dir, const char *name, int obj, int flags, bool by_name, fault *why) {
  char proc[32];
  fd_name(obj, proc);
  int fd = openat(AT_FDCWD, proc, flags | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // Where /proc has the link, what it leads to is gone: NFS opens it
    // again by its name, which another client may have taken away. Look
    // again.
    struct stat st;
    if (fstatat(AT_FDCWD, proc, &st, AT_SYMLINK_NOFOLLOW) == 0) errno = ESTALE;
    else if (by_name && trusted(dir))
      fd = openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  if (fd < 0) *why = errno == ENOENT ? fault{reason::no_proc} : from_errno();
  return fd;
}

int debug_open_found(const found &f, fault *why) {
  return debug_reopen(f.dir.fd, f.name, f.obj.fd, O_RDONLY, kTakesStream, why);
}

#if DEBUG_INIPARSER_LOAD_FILE
dictionary *debug_load(int /*dir*/, const char * /*name*/, int fd, const char *shown,
                       fault *why) {
  // The stream starts where the shared offset stands, which no read of
  // the tool's moves from the start.
  int own = dup(fd);
  FILE *in = own >= 0 ? fdopen(own, "r") : nullptr;
  if (!in) {
    if (own >= 0) close(own);
    return nullptr;
  }
  dictionary *d = iniparser_load_file(in, shown);
  // iniparser takes a read that fails for the end of the file: what it
  // read is not the file.
  if (ferror(in)) {
    *why = from_errno();
    iniparser_freedict(d);
    d = nullptr;
  }
  fclose(in);
  return d;
}
#else
dictionary *debug_load(int dir, const char *name, int fd, const char * /*shown*/,
                       fault *why) {
  char proc[32];
  fd_name(fd, proc);
  struct stat st;
  const char *by = proc;
  if (fstatat(AT_FDCWD, proc, &st, 0) != 0) {
    if (!trusted(dir) || fchdir(dir) != 0) {
      *why = {reason::no_proc};
      return nullptr;
    }
    by = name;
  }
  // iniparser opens the file itself: a handle gone stale, or a name that
  // NFS found taken away, is seen in errno.
  errno = 0;
  dictionary *d = iniparser_load(by);
  if (!d && (errno == ESTALE || errno == ENOENT)) *why = with_errno(ESTALE);
  return d;
}
#endif

}  // namespace debugcfg
