// Edits one entry of INI text in place, reading the text line by line as
// iniparser 4.1 does, so that the line changed is the one iniparser takes.
#ifndef DEBUGCFG_INI_EDIT_H
#define DEBUGCFG_INI_EDIT_H

#include <stddef.h>

#include "reason.h"
#include "system.h"

namespace debugcfg {

// Writes into out the text with entry ("section:key") set to value. The
// value text of the line iniparser takes for the entry is replaced where it
// stands (a continued line becomes one line); with no such line, "key =
// value" is added after the last entry of the last block of the section,
// or the section is appended. With append_block the section is appended
// whatever the text holds: its last block sets the entry in every release
// of iniparser. Every other byte stays. The section is lower case; the key is spelled as a new
// line should spell it and matched without regard to case.
// Returns reason::none, or why the text can't be edited safely.
reason ini_set_entry(const char *text, size_t len, const char *entry, const char *value,
                     bool append_block, text_buf *out);

}  // namespace debugcfg

#endif
