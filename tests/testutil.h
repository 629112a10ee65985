// Helpers shared by the unit tests: scratch folders, whole-file I/O and a
// plain-text view of what iniparser takes from a text.
#ifndef TESTS_TESTUTIL_H
#define TESTS_TESTUTIL_H

#include <string>
#include <vector>

#include "debug_config.h"

// What a write keeps beside debug.cfg: the lock file and the new file.
#define LOCK_OF_CFG ".debug.cfg" DEBUG_LOCK_SUFFIX
#define NEW_OF_CFG ".debug.cfg" DEBUG_NEW_SUFFIX

namespace testutil {

// A fresh folder under /tmp, removed with everything in it.
struct scratch {
  std::string dir;
  scratch();
  ~scratch();
  std::string path(const std::string &name) const { return dir + "/" + name; }
};

std::string read_file(const std::string &path);
bool exists(const std::string &path);
// The names in a folder, sorted, without "." and "..", nor the writers'
// lasting lock file (LOCK_OF_CFG).
std::vector<std::string> list_dir(const std::string &dir);
void write_file(const std::string &path, const std::string &text, int mode = 0644);

// Every entry iniparser loads from text, "key=value" a line, sorted; a
// valueless entry reads "key" alone, and a text that fails to load "FAILED".
std::string entries(const std::string &text, const std::string &without = "");

}  // namespace testutil

#endif
