// debug read: the report of the three debug types.
#include <stdio.h>

#include "commands.h"
#include "debug_config.h"
#include "load.h"
#include "record.h"
#include "texts.h"

namespace debugcfg {

namespace {

void print_report(const debug_config_t *rec) {
  puts(text::report_head);
  printf(text::report_type1, rec->Type1);
  printf(text::report_type2, rec->Type2);
  printf(text::report_type3, rec->Type3);
  puts(text::report_tail);
  puts(text::report_end);
}

}  // namespace

int debug_read_file(const char *path) {
  patience wait;
  return debug_report(path, &wait);
}

int debug_report(const char *path, patience *wait) {
  // A file that is there but does not load, or is no regular file, reads
  // as an empty one.
  fault why;
  view file;
  if (debug_load_file(path, false, wait, &file, &why) != 0) {
    printf("%s", text::open_failed);
    return -1;
  }
  debug_load_record(file.dict.d, debugconfig);
  print_report(debugconfig);
  return 0;
}

}  // namespace debugcfg

int debug_read_data(const char * /*key*/, int /*value*/, int /*extra*/) {
  return debugcfg::debug_read_file(DEBUG_CONFIG_PATH);
}
