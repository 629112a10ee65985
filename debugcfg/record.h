// The rules between the [sys] entries of a loaded dictionary and the record.
#ifndef DEBUGCFG_RECORD_H
#define DEBUGCFG_RECORD_H

#include <iniparser.h>

#include "debug_config.h"
#include "find_file.h"

namespace debugcfg {

// Frees a loaded dictionary when it goes out of scope.
struct dict_guard {
  dictionary *d;
  explicit dict_guard(dictionary *dict) : d(dict) {}
  ~dict_guard() {
    if (d) iniparser_freedict(d);
  }
  dict_guard(const dict_guard &) = delete;
  dict_guard &operator=(const dict_guard &) = delete;
};

// Finds the file at path and loads it through iniparser, looking again
// from the path while handles go stale, for kPatienceSeconds at most.
// Returns -1 when it can't be reached (no file, a folder that can't be
// searched, a link not followed: *why set to reason::unsafe_path, or /proc
// missing: reason::no_proc); else 0, with *dict null where iniparser can't
// load it or, *why set to reason::not_regular, something other than a
// regular file is there.
int debug_load_file(const char *path, dictionary **dict, fault *why);

// Keeps the low 8 bits of v, read back as signed: 200 gives -56.
int8_t narrow8(long v);

// Clamps v to the range of int, as strtol does on the 32-bit target.
int clamp_int(long v);

// The entry's value text; nullptr when it is missing, when it has no value
// (a header such as [sys:Type1] makes one) or when d is null.
const char *entry_text(const dictionary *d, const char *entry);

// The entry converted as iniparser does, clamped to int; def when
// entry_text() finds no value.
int entry_int(const dictionary *d, const char *entry, int def);

// Fills rec from d: the printer name (at most 31 characters) and then its
// default name only when the name is not empty; each type that is not
// negative, narrowed to 8 bits. A null d loads as an empty file.
void debug_load_record(const dictionary *d, debug_config_t *rec);

// Sets the "sys" section and the three type entries of d from rec.
// Returns -1, setting nothing, when d is null.
int debug_writeConfig(const debug_config_t *rec, dictionary *d);

}  // namespace debugcfg

#endif
