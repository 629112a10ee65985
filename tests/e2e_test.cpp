// The tool as a maintainer meets it: each folder under e2e/cases holds the
// arguments (one a line), the file before (input.cfg; none: no file), the
// exact stdout, the exit status and, for a write that stores, the file
// after (after.cfg; none: the file must not change). Instead of a file,
// at-path may put a FIFO ("fifo") or a link to what it names at the path,
// which must still stand there after the run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"
#include "testutil.h"

namespace {

std::string case_dir(const std::string &name) { return std::string(E2E_CASES_DIR) + "/" + name; }

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// What stands at path, as an at-path file names it: "fifo" or a link's target.
std::string what_is_at(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) return "fifo";
  char target[256];
  ssize_t n = readlink(path.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

class Golden : public testing::TestWithParam<std::string> {};

TEST_P(Golden, StdoutStatusAndFile) {
  std::string dir = case_dir(GetParam());
  testutil::scratch etc;
  bool has_input = testutil::exists(dir + "/input.cfg");
  std::string input = has_input ? testutil::read_file(dir + "/input.cfg") : "";
  if (has_input) testutil::write_file(etc.path("debug.cfg"), input);
  std::string at = lines(testutil::read_file(dir + "/at-path") + "\n")[0];
  std::string cfg = etc.path("debug.cfg");
  int made = at.empty() ? 0 : at == "fifo" ? mkfifo(cfg.c_str(), 0644) : symlink(at.c_str(), cfg.c_str());
  ASSERT_EQ(made, 0);

  // A run that never ends fails as status 124 instead of hanging the suite.
  sandbox::options opt;
  opt.wrapper = {"timeout", "60"};
  sandbox::result r = sandbox::run(etc.dir, lines(testutil::read_file(dir + "/args")), opt);

  EXPECT_EQ(r.out, testutil::read_file(dir + "/stdout"));
  EXPECT_EQ(r.status, std::stoi(testutil::read_file(dir + "/status")));
  std::string after = testutil::exists(dir + "/after.cfg")
                          ? testutil::read_file(dir + "/after.cfg") : input;
  if (has_input) {
    EXPECT_EQ(testutil::read_file(etc.path("debug.cfg")), after);
  }
  EXPECT_EQ(what_is_at(cfg), at);
  std::vector<std::string> left = testutil::list_dir(etc.dir);
  EXPECT_EQ(left, has_input || !at.empty() ? std::vector<std::string>{"debug.cfg"}
                                           : std::vector<std::string>{});
}

std::string test_name(const testing::TestParamInfo<std::string> &info) {
  std::string n = info.param;
  for (char &c : n)
    if (c == '-') c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, testing::ValuesIn(testutil::list_dir(E2E_CASES_DIR)),
                         test_name);

}  // namespace
