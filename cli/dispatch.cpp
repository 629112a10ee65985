#include <stdlib.h>
#include <stdio.h>
#include <string.h>

#include "cli.h"
#include "debug_config.h"
#include "record.h"
#include "texts.h"

namespace {

// Program name and two to four parameters.
constexpr int kMinArgs = 3;
constexpr int kMaxArgs = 5;

// A report lost to a full disk or a closed pipe must not pass for success.
int finish(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) return -1;
  return status;
}

}  // namespace

int debug_parse_value(const char *text) {
  return debugcfg::clamp_int(strtol(text, nullptr, 10));
}

int debug_main(int argc, char **argv) {
  // write Type1 without a value would store a 0 nobody asked for; any
  // other key is refused by the write command itself, in silence.
  if (argc < kMinArgs || argc > kMaxArgs ||
      (argc < 4 && strcmp(argv[1], "write") == 0 && strcmp(argv[2], "Type1") == 0)) {
    debug_print_help();
    return finish(-1);
  }
  int value3 = argc > 3 ? debug_parse_value(argv[3]) : 0;
  int value4 = argc > 4 ? debug_parse_value(argv[4]) : 0;

  debugconfig = static_cast<debug_config_t *>(malloc(sizeof *debugconfig));
  if (!debugconfig) {
    puts(debugcfg::text::no_memory);
    return finish(-1);
  }
  memset(debugconfig, 0, sizeof *debugconfig);

  int status = 0;
  if (strcmp(argv[1], "read") == 0) {
    debug_read_data(argv[2], value3, value4);
  } else if (strcmp(argv[1], "write") == 0) {
    debug_write_data(argv[2], value3, value4);
  } else {
    printf(debugcfg::text::bad_command, argv[1]);
    status = -1;
  }
  free(debugconfig);
  debugconfig = nullptr;
  return finish(status);
}
