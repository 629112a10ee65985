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
    {"sys:Type1", &debug_config_t::Type1},
    {"sys:Type2", &debug_config_t::Type2},
    {"sys:Type3", &debug_config_t::Type3},
}};

constexpr int kTypeDefault = 1;
constexpr int kDefaultNameDefault = 1;
constexpr size_t kNumberBuf = 512;

// One look: as debug_load_file, with *why a stale handle where one went
// stale on the way.
int load_once(const char *path, dictionary **dict, fault *why) {
  found f;
  *dict = nullptr;
  fault walked = debug_walk(path, &f);
  if (failed(walked)) {
    if (walked.why == reason::unsafe_path || is_stale(walked)) *why = walked;
    return -1;
  }
  if (!S_ISREG(f.st.st_mode)) {
    *why = {reason::not_regular};
    return 0;
  }
  // A file this account can't open loads as one that does not parse.
  fault failure;
#if DEBUG_INIPARSER_LOAD_FILE
  fd_guard in(debug_open_found(f, &failure));
  int fd = in.fd;
#else
  int fd = f.obj.fd;
#endif
  if (fd >= 0) *dict = debug_load(f.dir.fd, f.name, fd, path, &failure);
  if (failure.why != reason::no_proc && !is_stale(failure)) return 0;
  *why = failure;
  return -1;
}

}  // namespace

int debug_load_file(const char *path, dictionary **dict, fault *why) {
  // Another NFS client replacing the file leaves this one's handles stale:
  // a reason to look again from the path, not a failure. The clock is
  // read only once that happens.
  time_t until = 0;
  int rc = 0;
  while ((rc = load_once(path, dict, why)) != 0 && is_stale(*why)) {
    *why = {};
    if (!until) until = debug_deadline(kPatienceSeconds);
    else if (debug_past(until)) break;
  }
  return rc;
}

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
  const char *name = entry_text(d, "sys:printerName");
  if (name && name[0] != '\0') {
    snprintf(rec->printerName, sizeof rec->printerName, "%s", name);
    rec->defaultName = entry_int(d, "sys:defaultName", kDefaultNameDefault);
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
  iniparser_set(d, "sys", nullptr);
  for (const type_key &k : kTypeKeys) {
    snprintf(number, sizeof number, "%d", rec->*k.field);
    iniparser_set(d, k.entry, number);
    memset(number, 0, sizeof number);
  }
  return 0;
}

}  // namespace debugcfg

debug_config_t *debugconfig = nullptr;
