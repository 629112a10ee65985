// Finds the configuration file one name at a time through descriptors, so
// that no other account can lead the tool to a file that is not its own,
// and nothing found is ever named again.
#ifndef DEBUGCFG_FIND_FILE_H
#define DEBUGCFG_FIND_FILE_H

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iniparser.h>

namespace debugcfg {

// Closes a descriptor when it goes out of scope.
struct fd_guard {
  int fd = -1;
  fd_guard() = default;
  explicit fd_guard(int f) : fd(f) {}
  ~fd_guard() { reset(-1); }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  void reset(int f) {
    if (fd >= 0) close(fd);
    fd = f;
  }
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

// Where a walk ended: the folder that holds the last name, what that name
// names (never a link), and the name itself. Both descriptors are O_PATH.
struct found {
  fd_guard dir;
  fd_guard obj;
  struct stat st;
  char name[NAME_MAX + 1];
};

// A walk refused a step where a folder or link that an account other than
// root owns leads to something another account owns.
constexpr const char *kUnsafe = "unsafe link or folder on the path";
// What a store or a load reports when the path names a FIFO, a device, a
// socket or a folder: iniparser would wait or spin on it for ever.
constexpr const char *kNotRegular = "not a regular file";
// The found file is handed on by its /proc/self/fd name, and there is none.
constexpr const char *kNoProc = "/proc is not mounted";

// Follows the first len bytes of path, through links (40 at most), from
// `from`'s object, or from "/" when from is null or the path is absolute.
// Returns 0, or -1 with *why set to kUnsafe or to errno's text.
int debug_walk(const found *from, const char *path, size_t len, found *out, const char **why);

// Opens the object open at fd again with flags, through /proc. Returns the
// descriptor, or -1 with *why set (kNoProc, or errno's text).
int debug_reopen(int fd, int flags, const char **why);

// Loads the regular file open at fd through iniparser, which loads only by
// name; errno is ENOENT after a null result only where /proc is not there.
dictionary *debug_load_fd(int fd);

}  // namespace debugcfg

#endif
