// debug write: sets debug type 1, stores it, and shows the file afresh.
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "debug_config.h"
#include "load.h"
#include "record.h"
#include "store.h"
#include "texts.h"

namespace debugcfg {

void debug_fault_text(fault f, const char *detail, char *out, size_t size) {
  char inner[kDetailSize + 64];
  const char *words = text::reasons;
  for (auto n = static_cast<size_t>(f.why); n > 0; --n) words += strlen(words) + 1;
  if (f.why == reason::system) {
    words = strerror(f.err);
  } else if (f.why == reason::lock_owner) {
    snprintf(inner, sizeof inner, words, static_cast<unsigned>(f.err));
    words = inner;
  } else if (f.why == reason::xattr) {
    snprintf(inner, sizeof inner, words, detail, strerror(f.err));
    words = inner;
  }
  bool unsafe = f.why == reason::not_regular ||
                (f.why >= reason::lock_symlink && f.why <= reason::lock_owner);
  const char *format = f.at == site::lock       ? text::lock_file
                       : f.at == site::new_file ? text::new_file
                                                : text::at_file;
  snprintf(out, size, format, unsafe ? text::unsafe : "", detail, words);
}

int debug_write_file(const char *path, const char *key, int value) {
  fault why;
  char detail[kDetailSize] = "";
  int stored = 0;
  patience wait;
  {
    // The file is loaded before the key is looked at; for any other key,
    // as it stands, with none of the store's watching.
    bool type1 = strcmp(key, "Type1") == 0;
    view file;
    debug_load_file(path, type1, &wait, &file, &why);
    if (!type1) return -1;
    debugconfig->Type1 = narrow8(value);
    // Only a file that loaded is stored: a missing file is never created,
    // one iniparser cannot read is never rewritten, and a FIFO or a device
    // at the path is told as such.
    if (debug_writeConfig(debugconfig, file.dict.d) == 0)
      stored = debug_store_type1(path, &file, debugconfig->Type1, &wait, &why, detail);
  }
  if (failed(why)) {
    char words[2 * kDetailSize + 64];
    debug_fault_text(why, detail, words, sizeof words);
    printf(stored > 0 ? text::stored_unsynced : text::save_failed, words);
  }
  debug_report(path, &wait);
  return 0;
}

}  // namespace debugcfg

int debug_write_data(const char *key, int value, int /*extra*/) {
  return debugcfg::debug_write_file(DEBUG_CONFIG_PATH, key, value);
}
