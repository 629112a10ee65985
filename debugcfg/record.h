// The record and its rules: the [sys] entries, each named here once, and
// how they go from a loaded dictionary into the record and back.
#ifndef DEBUGCFG_RECORD_H
#define DEBUGCFG_RECORD_H

#include <stdint.h>

#include <iniparser.h>

#include "debug_config.h"

namespace debugcfg {

// The tool's section, and each of its entries as iniparser addresses it:
// the section, ':', the key as a new line spells it.
inline constexpr const char *kSection = "sys";
inline constexpr const char *kPrinterName = "sys:printerName";
inline constexpr const char *kDefaultName = "sys:defaultName";
inline constexpr const char *kType1 = "sys:Type1";
inline constexpr const char *kType2 = "sys:Type2";
inline constexpr const char *kType3 = "sys:Type3";


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
