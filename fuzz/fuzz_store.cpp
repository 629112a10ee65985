// Arbitrary file bytes (after the first) and value (the first byte)
// through the line editor. Whatever it accepts must load through iniparser
// with sys:type1 reading the new value and every other entry as before;
// this checks the property on its own, apart from the store's check.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iniparser.h>

#include "ini_edit.h"

namespace {

char path[64];

int say_nothing(const char *, ...) { return 0; }

dictionary *load(const char *text, size_t len) {
  FILE *f = fopen(path, "wb");
  if (!f) abort();
  fwrite(text, 1, len, f);
  fclose(f);
  return iniparser_load(path);
}

bool same(const char *a, const char *b) { return a == b || (a && b && strcmp(a, b) == 0); }

// True when key is in d; *val is then its value, which may be null.
bool find(const dictionary *d, const char *key, const char **val) {
  for (decltype(d->size) i = 0; i < d->size; ++i) {
    if (d->key[i] && strcmp(d->key[i], key) == 0) {
      *val = d->val[i];
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  snprintf(path, sizeof path, "/tmp/fuzz_store.%d.cfg", static_cast<int>(getpid()));
  iniparser_set_error_callback(say_nothing);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  char want[8];
  snprintf(want, sizeof want, "%d", static_cast<int8_t>(data[0]));
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t len = size - 1;

  debugcfg::text_buf out;
  if (debugcfg::ini_set_entry(text, len, "sys:Type1", want, false, &out) !=
      debugcfg::reason::none)
    return 0;

  dictionary *before = load(text, len);
  dictionary *after = load(out.data, out.len);
  if (!before || !after) abort();
  const char *val = nullptr;
  if (!find(after, "sys:type1", &val) || !same(val, want)) abort();
  for (decltype(after->size) i = 0; i < after->size; ++i) {
    const char *key = after->key[i];
    if (!key || strcmp(key, "sys:type1") == 0) continue;
    const char *old = nullptr;
    if (find(before, key, &old)) {
      if (!same(old, after->val[i])) abort();
    } else if (strcmp(key, "sys") != 0 || after->val[i]) {
      abort();
    }
  }
  for (decltype(before->size) i = 0; i < before->size; ++i) {
    const char *key = before->key[i];
    if (key && strcmp(key, "sys:type1") != 0 && !find(after, key, &val)) abort();
  }
  iniparser_freedict(before);
  iniparser_freedict(after);
  return 0;
}
