// Loading the found file through iniparser, whichever release runs: 4.2
// and later read a stream of the very descriptor opened, 4.1 opens the
// file again by the name /proc gives it, or by its name in a folder only
// root and this account can change. Handles gone stale are looked at again.
#ifndef DEBUGCFG_LOAD_H
#define DEBUGCFG_LOAD_H

#include <stddef.h>

#include <iniparser.h>

#include "reason.h"
#include "system.h"
#include "walk.h"

namespace debugcfg {

// Frees a loaded dictionary when it goes out of scope.
struct dict_guard {
  dictionary *d = nullptr;
  dict_guard() = default;
  explicit dict_guard(dictionary *dict) : d(dict) {}
  ~dict_guard() { reset(nullptr); }
  dict_guard(const dict_guard &) = delete;
  dict_guard &operator=(const dict_guard &) = delete;
  void reset(dictionary *dict) {
    if (d) iniparser_freedict(d);
    d = dict;
  }
};

// Keeps iniparser from telling stderr about texts that do not load while
// it lives: the store's own loads are checks.
struct quiet_iniparser {
  quiet_iniparser();
  ~quiet_iniparser();
  quiet_iniparser(const quiet_iniparser &) = delete;
  quiet_iniparser &operator=(const quiet_iniparser &) = delete;
};

// Loads through iniparser the regular file open for reading at fd: `name`
// in the folder open at dir, where a release must open it by a name and
// /proc is missing (only if by_name), and `shown` in the messages of a
// release that reads a stream. Returns null where it does not load, with
// *why set where that is not the text's doing: no name could be had
// (reason::no_proc), or a read failed (a stale handle among them).
dictionary *debug_load(int fd, int dir, const char *name, bool by_name, const char *shown,
                       fault *why);

// Reads what fd holds from its start, up to limit + 1 bytes: more than
// limit says the file grew. Every read of the file is a pread, which leaves
// alone the offset that a stream handed to iniparser shares.
int read_upto(int fd, size_t limit, text_buf *buf);

// 0 when what fd holds is exactly text, 1 when it is not, -1 (errno set)
// when it can't be read.
int reads_back(int fd, const text_buf &text);

// What one read of the file gave: where it is, the file open for reading
// (leased where it could be), its bytes where read for a store, iniparser's
// dictionary of it (null where it does not load), and what iniparser read
// as sys:Type1 then, before the command set anything in the dictionary (""
// where nothing, or more than a number of the tool's); and, over the
// command's reads for a store, where another process holds it open for
// writing, since when its bytes have stayed those read (the watch).
struct view {
  found f;
  fd_guard in;
  bool leased = false;
  text_buf text;
  dict_guard dict;
  char type1[8] = "";
  bool watched = false;
  uint32_t same_since = 0;  // monotonic_ms()
};

// Opens the found file v->f again for reading and loads it, as `shown` in
// iniparser's messages; for a store, read whole as well, watched: leased
// where it can be; else, where another process holds it open for writing,
// read again each step until its bytes have stayed the same for
// kSettleSeconds or that process has let it go. Returns why not:
// reason::no_proc, leased, busy (it kept changing until the deadline) or
// changed (it grew as it was read, unwatched), or an open's or a read's
// errno.
fault read_view(view *v, bool for_store, const char *shown, patience *wait);

// Finds the file at path and reads it (read_view), looking again after a
// step while handles go stale or, for a store, while another process
// writes it, until the deadline. Returns -1 when it can't be reached:
// *why is unsafe_path, no_proc, leased, busy, a stale handle, or none (no
// file, a folder that can't be searched, a link not followed). Else 0,
// with no dictionary where the file does not load or can't be opened,
// and *why set to not_regular where the path leads to no regular file.
int debug_load_file(const char *path, bool for_store, patience *wait, view *v, fault *why);

}  // namespace debugcfg

#endif
