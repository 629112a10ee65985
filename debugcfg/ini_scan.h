// Reading INI text as iniparser 4.1 reads it, line by line: which line
// sets an entry, where its value stands, and where a line for it would go.
// The line editor (ini_edit.h) stands on it.
#ifndef DEBUGCFG_INI_SCAN_H
#define DEBUGCFG_INI_SCAN_H

#include <stddef.h>

#include "reason.h"

namespace debugcfg {

// iniparser's line buffer: a logical line, continuations joined, holds at
// most kLineSize - 2 bytes before its newline.
constexpr int kLineSize = 1024;

// The last line that sets the entry, as the dictionary's last write wins.
// Its offsets, for the text "[sys]\nType1 = \\\n  3\nType2 = 2\n", whose Type1
// is continued over two physical lines:
//
//   text[6, 16)   "Type1 = \\\n"  its first physical line: start = 6
//   text[16, 20)  "  3\n"          its last: chunk_start = 16, chunk_end = 20
//   line          "Type1 =   3"   fgets's pieces joined, the backslash gone:
//                 line[8, 11)     "  3", the last piece: piece_from = 8
//                 line[10, 11)    "3", the value iniparser keeps: val_from
//                                 = 10, val_to = 11; line_len = 11
//
// The edit is text[0, start), line[0, val_from), the new value,
// line[val_to, line_len), what the last physical line holds past its piece
// in line (text[chunk_start + line_len - piece_from, chunk_end): "\n"),
// and text[chunk_end, len).
struct setter {
  bool is_value = false;       // a value line; false for a header or none
  size_t start = 0;
  size_t chunk_start = 0;
  size_t chunk_end = 0;
  size_t piece_from = 0;
  size_t val_from = 0, val_to = 0;
  size_t line_len = 0;
  char line[kLineSize + 1];
};

// The entry looked for: its section (lower case) and key, and the name of
// a header that sets it, "section:key" in lower case.
struct target {
  char section[kLineSize + 1];
  const char *key;
  char header[kLineSize + 1];
};

// Puts in t the entry ("section:key") that scan is to look for.
void aim(const char *entry, target *t);

// What a read of the text as iniparser's finds for the entry.
struct scan_result {
  setter set;
  size_t header_end = 0;   // end of the last header that sets the entry
  size_t insert_at = 0;    // end of the last entry of the section's last block; 0: none
  bool open_line = false;  // the text ends inside a continued line
};

// Reads the text line by line as iniparser_load() does, noting in *res
// what it finds for the entry. Returns why iniparser would fail to load
// it, or reason::none.
reason scan(const char *text, size_t len, const target &t, scan_result *res);

}  // namespace debugcfg

#endif
