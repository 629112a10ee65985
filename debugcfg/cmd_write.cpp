// debug write: sets debug type 1, stores it, and shows the file afresh.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "debug_config.h"
#include "record.h"
#include "store.h"
#include "texts.h"
#include "view.h"

namespace debugcfg {

int debug_write_file(const char *path, const char *key, int value) {
  signal(SIGIO, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  fault why;
  int stored = 0;
  patience wait;
  {
    // The file is loaded before the key is looked at; for any other key,
    // as it stands, with none of the store's watching.
    bool type1 = strcmp(key, "Type1") == 0;
    view file;
    // Where there is no file to read, nothing is stored and only the
    // report says so.
    if (debug_find_and_read(path, type1, &wait, &file, &why) != 0 && why.why == reason::system &&
        !is_stale(why))
      why = {};
    if (!type1) return -1;
    debugconfig->Type1 = narrow8(value);
    // The store edits the file's text as read, not the dictionary that
    // debug_writeConfig fills, which is never stored. Only a file that
    // loaded is stored: a missing file is never created, one iniparser
    // cannot read is never rewritten, and a FIFO or a device at the path
    // is told as such.
    if (file.dict.d) {
      char number[8];
      snprintf(number, sizeof number, "%d", debugconfig->Type1);
      stored = debug_store(path, &file, kType1, number, &wait, &why);
    }
    debug_writeConfig(debugconfig, file.dict.d);
    if (failed(why)) {
      char words[kFaultText];
      debug_fault_text(why, words);
      printf(stored > 0 ? text::stored_unsynced : text::save_failed, words);
    }
  }
  debug_report(path, &wait);
  return 0;
}

}  // namespace debugcfg

int debug_write_data(const char *key, int value, int /*extra*/) {
  return debugcfg::debug_write_file(DEBUG_CONFIG_PATH, key, value);
}
