#include "find_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

namespace debugcfg {

namespace {

constexpr int kMaxLinks = 40;

// A folder or link may lead only to what its owner owns, unless root owns
// it: another account could otherwise point root's write at root's files.
bool unsafe(uid_t lead, uid_t to) { return lead != 0 && lead != to; }

int open_root(fd_guard *here) {
  here->reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return here->fd;
}

// The name under which /proc opens the object at fd again.
void fd_name(int fd, char (&name)[32]) { snprintf(name, sizeof name, "/proc/self/fd/%d", fd); }

// debug_walk() with its failures as -1 and errno, or -2 for an unsafe step.
int walk(const found *from, const char *path, size_t len, found *out) {
  // The path left to follow, in one buffer while a link's text and what
  // follows it go into the other.
  char todo[2][PATH_MAX];
  int cur = 0;
  errno = ENAMETOOLONG;
  if (len >= PATH_MAX) return -1;
  memcpy(todo[0], path, len);
  todo[0][len] = '\0';
  const char *p = todo[0];
  fd_guard here;     // the folder the next name is looked up in
  struct stat st;
  uid_t lead = 0;    // who leads there: the folder's owner, or the last link's
  if (from && *p != '/') {
    here.reset(openat(from->obj.fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    lead = from->st.st_uid;
  } else if (open_root(&here) < 0 || fstat(here.fd, &st) != 0) {
    return -1;
  } else {
    lead = st.st_uid;
  }
  for (int links = 0;;) {
    while (*p == '/') ++p;
    size_t n = 0;
    while (p[n] && p[n] != '/') ++n;
    errno = n ? ENAMETOOLONG : EISDIR;
    if (n == 0 || n > NAME_MAX) return -1;
    memcpy(out->name, p, n);
    out->name[n] = '\0';
    p += n;

    fd_guard next(openat(here.fd, out->name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.fd < 0 || fstat(next.fd, &st) != 0) return -1;
    if (unsafe(lead, st.st_uid)) return -2;
    lead = st.st_uid;
    if (S_ISLNK(st.st_mode)) {
      char *link = todo[cur ^ 1];
      ssize_t got = readlinkat(next.fd, "", link, PATH_MAX);
      if (got < 0) return -1;
      size_t rest = strlen(p) + 1;
      errno = ELOOP;
      if (++links > kMaxLinks) return -1;
      errno = ENAMETOOLONG;
      if (static_cast<size_t>(got) + rest > PATH_MAX) return -1;
      memcpy(link + got, p, rest);
      p = link;
      cur ^= 1;
      if (*p == '/' && open_root(&here) < 0) return -1;
      continue;
    }
    if (*p == '\0') {
      out->dir.reset(here.release());
      out->obj.reset(next.release());
      out->st = st;
      return 0;
    }
    errno = ENOTDIR;
    if (!S_ISDIR(st.st_mode)) return -1;
    here.reset(next.release());
  }
}

}  // namespace

int debug_walk(const found *from, const char *path, size_t len, found *out, const char **why) {
  int rc = walk(from, path, len, out);
  if (rc == 0) return 0;
  *why = rc == -2 ? kUnsafe : strerror(errno);
  return -1;
}

int debug_reopen(int fd, int flags, const char **why) {
  char name[32];
  fd_name(fd, name);
  int f = open(name, flags | O_CLOEXEC);
  if (f < 0) *why = errno == ENOENT ? kNoProc : strerror(errno);
  return f;
}

dictionary *debug_load_fd(int fd) {
  char name[32];
  fd_name(fd, name);
  return iniparser_load(name);
}

}  // namespace debugcfg
