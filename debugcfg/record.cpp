#include "record.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <array>

namespace debugcfg {

namespace {

struct type_key {
  const char *entry;
  int8_t debug_config_t::*field;
};

constexpr std::array<type_key, 3> kTypeKeys = {{
    {kType1, &debug_config_t::Type1},
    {kType2, &debug_config_t::Type2},
    {kType3, &debug_config_t::Type3},
}};

constexpr int kTypeDefault = 1;
constexpr int kDefaultNameDefault = 1;
constexpr size_t kNumberBuf = 512;

}  // namespace

int8_t narrow8(long v) {
  return static_cast<int8_t>(static_cast<uint8_t>(static_cast<unsigned long>(v) & 0xFFU));
}

int clamp_int(long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

const char *entry_text(const dictionary *d, const char *entry) {
  return iniparser_getstring(d, entry, nullptr);
}

int entry_int(const dictionary *d, const char *entry, int def) {
  // iniparser 4.1 hands a valueless entry to strtol and crashes; a 64-bit
  // long would also keep numbers that the target's getint clamps.
  if (!entry_text(d, entry)) return def;
  return clamp_int(iniparser_getlongint(d, entry, def));
}

void debug_load_record(const dictionary *d, debug_config_t *rec) {
  const char *name = entry_text(d, kPrinterName);
  if (name && name[0] != '\0') {
    snprintf(rec->printerName, sizeof rec->printerName, "%s", name);
    rec->defaultName = entry_int(d, kDefaultName, kDefaultNameDefault);
  }
  for (const type_key &k : kTypeKeys) {
    int v = entry_int(d, k.entry, kTypeDefault);
    if (v >= 0) rec->*k.field = narrow8(v);
  }
}

int debug_writeConfig(const debug_config_t *rec, dictionary *d) {
  char number[kNumberBuf];
  memset(number, 0, sizeof number);
  if (!d) return -1;
  iniparser_set(d, kSection, nullptr);
  for (const type_key &k : kTypeKeys) {
    snprintf(number, sizeof number, "%d", rec->*k.field);
    iniparser_set(d, k.entry, number);
    memset(number, 0, sizeof number);
  }
  return 0;
}

}  // namespace debugcfg

debug_config_t *debugconfig = nullptr;
