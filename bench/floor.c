/* The least any program can do for `debug read x`: test that the file
 * exists, load it, look up the five entries, print the six report lines.
 * The tool's whole-process instruction count is held to this floor. */
#include <stdio.h>
#include <unistd.h>

#include <iniparser.h>

int main(void) {
  const char *path = "/quarn_etc/debug.cfg";
  if (access(path, F_OK) != 0) {
    printf("open config file failed!");
    return 0;
  }
  dictionary *d = iniparser_load(path);
  const char *name = iniparser_getstring(d, "sys:printerName", "");
  int default_name = iniparser_getint(d, "sys:defaultName", 1);
  int t1 = iniparser_getint(d, "sys:Type1", 1);
  int t2 = iniparser_getint(d, "sys:Type2", 1);
  int t3 = iniparser_getint(d, "sys:Type3", 1);
  (void)name;
  (void)default_name;
  puts("=====================read info===================\r");
  printf("Type1: %d             \t\t \r\n", (signed char)t1);
  printf("Type2: %d                    \r\n", (signed char)t2);
  printf("Type3: %d                    \r\n", (signed char)t3);
  puts("=================================================\r");
  puts("\r");
  return 0;
}
