// Arbitrary bytes as the configuration file, through loading and the
// report: no crash, no sanitizer report, and a report of six CR LF lines
// whose three numbers lie in -128..127.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>

#include <iniparser.h>

#include "commands.h"
#include "debug_config.h"

namespace {

char path[64];

int say_nothing(const char *, ...) { return 0; }

void check_report(const char *out, size_t len) {
  int lines = 0;
  for (size_t i = 0; i + 1 < len; ++i)
    if (out[i] == '\r' && out[i + 1] == '\n') ++lines;
  if (lines != 6 || len < 2 || out[len - 1] != '\n') abort();
  for (const char *label : {"Type1: ", "Type2: ", "Type3: "}) {
    const char *at = strstr(out, label);
    if (!at) abort();
    long v = strtol(at + strlen(label), nullptr, 10);
    if (v < -128 || v > 127) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  snprintf(path, sizeof path, "/tmp/fuzz_load.%d.cfg", static_cast<int>(getpid()));
  iniparser_set_error_callback(say_nothing);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *f = fopen(path, "wb");
  if (!f) abort();
  fwrite(data, 1, size, f);
  fclose(f);

  debug_config_t rec;
  memset(&rec, 0, sizeof rec);
  debugconfig = &rec;
  char *out = nullptr;
  size_t len = 0;
  FILE *saved = stdout;
  stdout = open_memstream(&out, &len);
  debugcfg::patience wait;
  int rc = debugcfg::debug_report(path, &wait);
  fclose(stdout);
  stdout = saved;
  debugconfig = nullptr;

  if (rc != 0 || !memchr(rec.printerName, '\0', sizeof rec.printerName)) abort();
  check_report(out, len);
  free(out);
  return 0;
}
