#include "testutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include <iniparser.h>

namespace testutil {

namespace {
int say_nothing(const char *, ...) { return 0; }
}  // namespace

scratch::scratch() {
  char tmpl[] = "/tmp/debugtest.XXXXXX";
  dir = mkdtemp(tmpl);
}

scratch::~scratch() {
  nftw(dir.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); },
       16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> list_dir(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
          strcmp(e->d_name, LOCK_OF_CFG) != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void write_file(const std::string &path, const std::string &text, int mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string entries(const std::string &text, const std::string &without) {
  std::string path = "/tmp/debugtest-entries." + std::to_string(getpid());
  write_file(path, text);
  iniparser_set_error_callback(say_nothing);
  dictionary *d = iniparser_load(path.c_str());
  unlink(path.c_str());
  iniparser_set_error_callback(nullptr);
  if (!d) return "FAILED";
  std::vector<std::string> lines;
  for (decltype(d->size) i = 0; i < d->size; ++i) {
    if (!d->key[i] || without == d->key[i]) continue;
    lines.push_back(d->val[i] ? std::string(d->key[i]) + "=" + d->val[i] : d->key[i]);
  }
  iniparser_freedict(d);
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string &l : lines) all += l + "\n";
  return all;
}

}  // namespace testutil
