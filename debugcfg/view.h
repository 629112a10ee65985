// The one read of the file that every command starts with, and what it
// gave (docs/design.md, "Finding the file", steps F1 to F6, and "Storing",
// step S1). iniparser loads the file found, whichever release runs: 4.2
// and later read a stream of the very descriptor opened, 4.1 opens the
// file again by the name /proc gives it, or by its name in a folder only
// root and this account can change.
#ifndef DEBUGCFG_VIEW_H
#define DEBUGCFG_VIEW_H

#include <stddef.h>

#include <iniparser.h>

#include "reason.h"
#include "system.h"
#include "walk.h"

namespace debugcfg {

// Frees a loaded dictionary when it goes out of scope.
struct dict_guard {
  dictionary *d;
  explicit dict_guard(dictionary *dict = nullptr) : d(dict) {}
  ~dict_guard() { reset(nullptr); }
  dict_guard(const dict_guard &) = delete;
  dict_guard &operator=(const dict_guard &) = delete;
  void reset(dictionary *dict) {
    if (d) iniparser_freedict(d);
    d = dict;
  }
};

// Keeps iniparser from telling stderr about texts that do not load, or
// lets it again: the store's own loads are checks.
void quiet_iniparser(bool quiet);

// Loads through iniparser the regular file open for reading at fd: `name`
// in the folder open at dir, where a release must open it by a name and
// /proc is missing (only if by_name: it then makes that folder the working
// directory), and `shown` in the messages of a release that reads a
// stream. Returns null where it does not load, with *why set where that is
// not the text's doing: no name could be had (reason::no_proc), or a read
// failed (a stale handle among them).
dictionary *debug_load(int fd, int dir, const char *name, bool by_name, const char *shown,
                       fault *why);

// What one read of the file gave: where it is, the file open for reading
// (leased where it could be), and iniparser's dictionary of it (null where
// it does not load); for a store also its bytes and the names of its
// extended attributes (each ending in a NUL). Over a command's reads for a
// store, where another process holds it open for writing, since when its
// bytes have stayed those read (the watch).
struct view {
  found f;
  fd_guard in;
  bool leased = false;
  dict_guard dict;
  text_buf text;
  text_buf attrs;
  bool watched = false;
  uint32_t same_since = 0;  // monotonic_ms()
};

// Opens the found file v->f again for reading and loads it, as `shown` in
// iniparser's messages; for a store, reads its bytes and attributes as
// well, watched: leased where it can be; else, where another process holds
// it open for writing, read again each step until its bytes have stayed the
// same for kSettleSeconds or that process has let it go. Returns why not:
// reason::no_proc, leased, busy (it kept changing until the deadline) or
// changed (it grew as it was read, unwatched), or an open's or a read's
// errno.
fault read_view(view *v, bool for_store, const char *shown, patience *wait);

// Finds the file at path and reads it (read_view), looking again from the
// path after a step while handles go stale or, for a store, while it grows
// as it is read, until the deadline. Returns -1 where it can't be reached,
// with *why: unsafe_path, no_proc, leased, busy, a stale handle, or the
// walk's errno (no file, a folder that can't be searched, a link not
// followed). Else 0, with no dictionary where the file does not load or
// can't be read, and *why set to not_regular where the path leads to no
// regular file.
int debug_find_and_read(const char *path, bool for_store, patience *wait, view *v, fault *why);

}  // namespace debugcfg

#endif
