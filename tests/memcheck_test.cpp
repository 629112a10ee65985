// Every path of the tool under valgrind's memcheck: no error, and no leak
// of any kind, the dictionaries included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"
#include "testutil.h"

namespace {


constexpr int kMemcheckFailed = 99;

TEST(Memcheck, NoErrorsNoLeaksOnAnyPath) {
  if (sandbox::kSanitized || sandbox::emulated())
    GTEST_SKIP() << "memcheck can't run under a sanitizer or the emulator; the plain host builds "
                    "(dev, noopt) run it";
  std::string example =
      testutil::read_file(std::string(E2E_CASES_DIR) + "/write-stores-in-place/input.cfg");
  const struct {
    const char *name;
    const char *file;  // nullptr: no file
    std::vector<std::string> args;
  } cases[] = {
      {"read", example.c_str(), {"read", "x"}},
      {"write", example.c_str(), {"write", "Type1", "5"}},
      {"write adding the key", "[net]\nx=1\n", {"write", "Type1", "-5"}},
      {"write unchanged", example.c_str(), {"write", "Type1", "2"}},
      {"write other key", example.c_str(), {"write", "Type2", "5"}},
      {"read of a file that does not load", "[sys]\nType1\n", {"read", "x"}},
      {"write to a file that does not load", "[sys]\nType1\n", {"write", "Type1", "5"}},
      {"read of no file", nullptr, {"read", "x"}},
      {"write to no file", nullptr, {"write", "Type1", "5"}},
      {"help", example.c_str(), {"read"}},
      {"unknown command", example.c_str(), {"READ", "x"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testutil::scratch etc;
    if (c.file) testutil::write_file(etc.path("debug.cfg"), c.file);
    sandbox::options opt;
    opt.wrapper = {"valgrind", "-q", "--leak-check=full", "--errors-for-leak-kinds=all",
                   "--show-leak-kinds=all", "--error-exitcode=" + std::to_string(kMemcheckFailed)};
    EXPECT_NE(sandbox::run(etc.dir, c.args, opt).status, kMemcheckFailed);
  }
}

}  // namespace
