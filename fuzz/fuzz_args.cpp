// Arbitrary command lines (arguments split at NUL bytes) through the front
// end, run where /quarn_etc is a scratch folder: no crash, no sanitizer
// report, and an exit status of 0 or -1 (255 to the shell).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <iniparser.h>

#include "cli.h"

namespace {

constexpr int kMaxArgs = 7;

int say_nothing(const char *, ...) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!freopen("/dev/null", "w", stdout)) abort();
  iniparser_set_error_callback(say_nothing);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  char *text = static_cast<char *>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = '\0';
  char name[] = "debug";
  char *argv[kMaxArgs + 2] = {name};
  int argc = 1;
  for (char *p = text; argc <= kMaxArgs && p <= text + size; p += strlen(p) + 1) argv[argc++] = p;
  argv[argc] = nullptr;
  int status = debug_main(argc, argv);
  free(text);
  if (status != 0 && status != -1) abort();
  return 0;
}
