#include "walk.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace debugcfg {

namespace {

constexpr int kMaxLinks = 40;

// Where a walk stands: the path left to follow (in one buffer while a
// link's text and what follows it go into the other), the folder the next
// name is looked up in, the length of that folder's path in found::path,
// who leads there (the folder's owner, or the last link's), and how many
// links it followed.
struct walk_state {
  char todo[2][PATH_MAX];
  int cur = 0;
  const char *left = nullptr;
  fd_guard here;
  size_t at = 0;
  uid_t lead = 0;
  int links = 0;
};

// Goes back to "/". Who leads there stays who led the walk there: an
// absolute link of an account other than root's leads only to its own.
DEBUG_INLINE fault start_at_root(walk_state *w) {
  w->here.reset(openat(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  w->at = 0;
  if (w->here.fd < 0) return from_errno();
  return {};
}

// F2: takes the next name off the path left into name. Empty names
// and "." are no steps, as for the kernel; a path that ends in "/" or "/."
// names the folder reached, as its ".".
fault next_name(walk_state *w, char (&name)[NAME_MAX + 1]) {
  const char *p = w->left;
  while (*p == '/' || (p[0] == '.' && (p[1] == '/' || p[1] == '\0'))) ++p;
  size_t n = 0;
  while (p[n] && p[n] != '/') ++n;
  if (n > NAME_MAX) return with_errno(ENAMETOOLONG);
  if (n == 0) p = ".", n = 1;
  memcpy(name, p, n);
  name[n] = '\0';
  w->left = p + n;
  return {};
}

// Puts the text of the link open at fd before what is left of the path;
// an absolute one starts again from "/".
fault follow(walk_state *w, int fd) {
  char *link = w->todo[w->cur ^ 1];
  ssize_t got = readlinkat(fd, "", link, PATH_MAX);
  if (got < 0) return from_errno();
  size_t rest = strlen(w->left) + 1;
  if (++w->links > kMaxLinks) return with_errno(ELOOP);
  if (static_cast<size_t>(got) + rest > PATH_MAX) return with_errno(ENAMETOOLONG);
  memcpy(link + got, w->left, rest);
  w->left = link;
  w->cur ^= 1;
  return *link == '/' ? start_at_root(w) : fault{};
}

// Adds name to the path taken, as the walk goes into it; for messages
// only, as far as it fits.
void add_name(walk_state *w, const char *name, char (&path)[PATH_MAX]) {
  size_t n = strlen(name);
  if (strcmp(name, "..") == 0) {
    while (w->at > 0 && path[--w->at] != '/') {}
  } else if (w->at + n + 1 < sizeof path) {
    path[w->at] = '/';
    memcpy(path + w->at + 1, name, n);
    w->at += n + 1;
  }
  path[w->at] = '\0';
}

}  // namespace

// F1: one name at a time from "/", each folder held open.
fault debug_walk(const char *path, found *out) {
  assert(path[0] == '/');
  if (path[0] != '/') return with_errno(EINVAL);
  walk_state w;
  size_t len = strlen(path);
  if (len >= PATH_MAX) return with_errno(ENAMETOOLONG);
  memcpy(w.todo[0], path, len + 1);
  w.left = w.todo[0];
  struct stat st;
  fault why = start_at_root(&w);
  if (failed(why)) return why;
  if (stat_fd(w.here.fd, &st) != 0) return from_errno();
  w.lead = st.st_uid;
  for (;;) {
    if (failed(why = next_name(&w, out->name))) return why;
    fd_guard next(openat(w.here.fd, out->name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.fd < 0 || stat_fd(next.fd, &st) != 0) return from_errno();
    // F3: a folder or link may lead only to what its owner owns,
    // unless root owns it: another account could otherwise point root's
    // write at root's files.
    if (w.lead != 0 && w.lead != st.st_uid) return {reason::unsafe_path};
    w.lead = st.st_uid;
    if (S_ISLNK(st.st_mode)) {
      if (failed(why = follow(&w, next.fd))) return why;
    } else if (*w.left == '\0') {
      add_name(&w, out->name, out->path);
      out->dir.reset(w.here.release());
      out->obj.reset(next.release());
      out->st = st;
      return {};
    } else if (!S_ISDIR(st.st_mode)) {
      return with_errno(ENOTDIR);
    } else {
      w.here.reset(next.release());
      add_name(&w, out->name, out->path);
    }
  }
}

}  // namespace debugcfg
