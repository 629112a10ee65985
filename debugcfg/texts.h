// Every fixed text the tool prints, one source line per output line. Texts
// for puts() end in "\r" (puts adds the "\n"); printf formats end in "\r\n"
// or, where the message has no line end, in nothing.
#ifndef DEBUGCFG_TEXTS_H
#define DEBUGCFG_TEXTS_H

#include <stddef.h>

#include "reason.h"

namespace debugcfg::text {

inline constexpr const char *help[] = {
    "====================help info====================\r",
    "para1   : read or write                          \r",
    "para2   :                                        \r",
    "para3   :                                        \r",
    "para4   :                                        \r",
    "example :                                        \r",
    "           ./debug read 1 1 1                    \r",
    "=================================================\r",
    "\r",
};

inline constexpr const char *report_head = "=====================read info===================\r";
inline constexpr const char *report_type1 = "Type1: %d             \t\t \r\n";
inline constexpr const char *report_type2 = "Type2: %d                    \r\n";
inline constexpr const char *report_type3 = "Type3: %d                    \r\n";
inline constexpr const char *report_tail = "=================================================\r";
inline constexpr const char *report_end = "\r";

inline constexpr const char *no_memory = "Memory malloc failed...\r";
inline constexpr const char *bad_command = "not this the cmd: %s";
inline constexpr const char *open_failed = "open config file failed!";
inline constexpr const char *save_failed = "save config file failed: %s\r\n";
inline constexpr const char *stored_unsynced = "save config file: stored, but the folder was not synced: %s\r\n";

// What a store says of each reason, one text after another in the order
// of debugcfg::reason, each ending in a NUL. A fault at the lock file is
// told as lock_file, with "unsafe " before it where what stands there is
// no lock of the tool's; one at the new file as new_file.
inline constexpr char reasons[] =
    "\0"
    "%s\0"
    "unsafe link or folder on the path\0"
    "not a regular file\0"
    "/proc is not mounted\0"
    "waited 30 s for the writers' lock\0"
    "waited 30 s for another process's lease\0"
    "another process kept writing the file for 30 s\0"
    "file kept changing while it was stored\0"
    "file does not load\0"
    "new text does not load\0"
    "new text does not verify\0"
    "written text does not read back\0"
    "file is a mount point\0"
    "file is immutable or append-only\0"
    "folder is immutable or append-only\0"
    "file has other links\0"
    "file holds a NUL byte\0"
    "line too long\0"
    "file does not parse\0"
    "file ends inside a continued line\0"
    "edited text does not fit\0"
    "edited text does not read back\0"
    "out of memory\0"
    "a symbolic link\0"
    "has other links\0"
    "not empty\0"
    "owned by account %u\0"
    "can't carry the file's %s: %s";

constexpr size_t count_texts(const char *list, size_t size) {
  size_t n = 0;
  for (size_t i = 0; i < size; ++i) n += list[i] == '\0';
  return n;
}
static_assert(count_texts(reasons, sizeof reasons) == static_cast<size_t>(reason::xattr) + 1,
              "one text for each reason");

// Each with "unsafe " or "", the path, and the reason's words.
inline constexpr const char *lock_file = "%slock file %s: %s";
inline constexpr const char *new_file = "%.0snew file %s: %s";
inline constexpr const char *at_file = "%.0s%.0s%s";
inline constexpr const char *unsafe = "unsafe ";

}  // namespace debugcfg::text

#endif
