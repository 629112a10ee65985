#include <stdio.h>

#include "cli.h"
#include "texts.h"

void debug_print_help() {
  for (const char *line : debugcfg::text::help) puts(line);
}
