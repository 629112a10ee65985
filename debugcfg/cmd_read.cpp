// debug read: the report of the three debug types.
#include <stdio.h>

#include "commands.h"
#include "debug_config.h"
#include "record.h"
#include "texts.h"
#include "view.h"

namespace debugcfg {

int debug_report(const char *path, patience *wait) {
  // A file that is there but does not load, or is no regular file, reads
  // as an empty one.
  fault why;
  view file;
  if (debug_find_and_read(path, false, wait, &file, &why) != 0) {
    printf("%s", text::open_failed);
    return -1;
  }
  // The report, reading the fields again through debugconfig.
  debug_load_record(file.dict.d, debugconfig);
  puts(text::report_head);
  printf(text::report_type1, debugconfig->Type1);
  printf(text::report_type2, debugconfig->Type2);
  printf(text::report_type3, debugconfig->Type3);
  puts(text::report_tail);
  puts(text::report_end);
  return 0;
}

}  // namespace debugcfg

int debug_read_data(const char * /*key*/, int /*value*/, int /*extra*/) {
  debugcfg::patience wait;
  return debugcfg::debug_report(DEBUG_CONFIG_PATH, &wait);
}
