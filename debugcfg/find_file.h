// Finds the configuration file one name at a time through descriptors, so
// that no other account can lead the tool to a file that is not its own,
// and nothing found is ever named again.
#ifndef DEBUGCFG_FIND_FILE_H
#define DEBUGCFG_FIND_FILE_H

#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <iniparser.h>

#include "reason.h"

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

// fstat() as fstatat() with AT_EMPTY_PATH, which takes an O_PATH descriptor
// from Linux 2.6.39 on, whatever the C library makes of fstat().
inline int stat_fd(int fd, struct stat *st) { return fstatat(fd, "", st, AT_EMPTY_PATH); }

// Where a walk ended: the folder that holds the last name, what that name
// names (never a link), the name itself, and the folder's path as the walk
// reached it, with no link in it ("" for "/"), for messages. Both
// descriptors are O_PATH.
struct found {
  fd_guard dir;
  fd_guard obj;
  struct stat st;
  char name[NAME_MAX + 1];
  char where[PATH_MAX];
};

// How long a command waits for its turn, or for handles that keep going
// stale.
constexpr int kPatienceSeconds = 30;

// The second, on the monotonic clock, `seconds` whole seconds from now: a
// wait until it has passed lasts that long, and less than a second more.
time_t debug_deadline(int seconds);

// True once the deadline has passed.
bool debug_past(time_t until);

// Has the file system fetch afresh what it knows of the object open at fd
// (AT_STATX_FORCE_SYNC): NFS then drops what it cached from before another
// client changed it, the names in a folder among it. Elsewhere a no-op.
void debug_revalidate(int fd);

// Follows path from "/", through links (40 at most). Empty names and "."
// are skipped; a path that ends in "/" ends at the folder reached, found
// as its ".". Returns why not: reason::unsafe_path or errno's.
fault debug_walk(const char *path, found *out);

// True when no account but root and uid can change what the names in the
// folder open at dir lead to: it is theirs, and its group and others may
// not write it.
bool debug_only_root_and(int dir, uid_t uid);

// Opens again, with flags, what the O_PATH descriptor obj holds, which is
// name in the folder open at dir: through /proc or, where /proc is not
// mounted and by_name, by that name if only root or this account can
// change the folder. Returns the descriptor, or -1 with *why set
// (reason::no_proc where neither can be done).
int debug_reopen(int dir, const char *name, int obj, int flags, bool by_name, fault *why);

// Opens the found regular file for reading again, by its name too where
// iniparser takes a stream.
int debug_open_found(const found &f, fault *why);

// Loads through iniparser the regular file open at fd (for an iniparser
// that takes no stream, an O_PATH descriptor will do), which is `name` in
// the folder open at dir; iniparser's messages call it `shown` where it
// takes a stream. Returns null where it does not load, with *why set where
// that is not the text's doing: the file could be handed over by no name,
// or a read failed.
dictionary *debug_load(int dir, const char *name, int fd, const char *shown, fault *why);

}  // namespace debugcfg

#endif
