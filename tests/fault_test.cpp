// The store under failing system calls, crashes at every step, and many
// writers and readers at once: the file is always the whole old text or
// the whole new one.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"
#include "testutil.h"

namespace {

const std::string kCases = E2E_CASES_DIR;


// A file, the report of it, and the file and report after "write Type1 5".
struct fixture {
  std::string before = testutil::read_file(kCases + "/write-stores-in-place/input.cfg");
  std::string after = testutil::read_file(kCases + "/write-stores-in-place/after.cfg");
  std::string report_before = testutil::read_file(kCases + "/read-four-parameters/stdout");
  std::string report_after = testutil::read_file(kCases + "/write-stores-in-place/stdout");
};

// LeakSanitizer cannot run under ptrace; memcheck covers these paths.
std::vector<std::string> strace(std::vector<std::string> flags) {
  std::vector<std::string> w = {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0",
                                "/usr/bin/strace", "-qq", "-o", "/dev/null"};
  w.insert(w.end(), flags.begin(), flags.end());
  return w;
}

TEST(Faults, FailedStoreLeavesTheFileAndSaysWhy) {
  if (sandbox::emulated()) GTEST_SKIP() << "strace faults run on the host build";
  const struct {
    const char *name;
    std::vector<std::string> flags;
    bool read_only;
    const char *why;
  } cases[] = {
      {"fsync fails", {"-e", "inject=fsync:error=EIO"}, false, "Input/output error"},
      {"rename fails", {"-e", "inject=rename,renameat,renameat2:error=EIO"}, false,
       "Input/output error"},
      {"disk full", {"-e", "inject=write:error=ENOSPC:when=1"}, false, "No space left on device"},
      {"short write", {"-e", "inject=write:retval=3:when=1"}, false,
       "written text does not read back"},
      {"read-only filesystem", {}, true, "Read-only file system"},
  };
  fixture f;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testutil::scratch etc;
    testutil::write_file(etc.path("debug.cfg"), f.before);
    sandbox::options opt;
    opt.read_only = c.read_only;
    if (!c.flags.empty()) opt.wrapper = strace(c.flags);
    sandbox::result r = sandbox::run(etc.dir, {"write", "Type1", "5"}, opt);
    EXPECT_EQ(r.out, std::string("save config file failed: ") + c.why + "\r\n" + f.report_before);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(testutil::read_file(etc.path("debug.cfg")), f.before);
    EXPECT_EQ(testutil::list_dir(etc.dir), std::vector<std::string>{"debug.cfg"});
  }
}

TEST(Faults, ReportLostOnAFullDiskIsNotSuccess) {
  fixture f;
  testutil::scratch etc;
  testutil::write_file(etc.path("debug.cfg"), f.before);
  sandbox::options opt;
  opt.wrapper = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
  for (auto args : {std::vector<std::string>{"read", "x"}, {"write", "Type1", "5"}, {"help"}}) {
    SCOPED_TRACE(args[0]);
    EXPECT_EQ(sandbox::run(etc.dir, args, opt).status, 255);
  }
  EXPECT_EQ(testutil::read_file(etc.path("debug.cfg")), f.after);
}

// How many times the write makes each system call.
std::map<std::string, int> syscalls_of_write(const std::string &before) {
  testutil::scratch etc, trace;
  testutil::write_file(etc.path("debug.cfg"), before);
  sandbox::options opt;
  opt.trace_dir = trace.dir;
  opt.wrapper = {"/usr/bin/strace", "-qq", "-o", "/trace/log"};
  sandbox::run(etc.dir, {"write", "Type1", "5"}, opt);
  std::map<std::string, int> calls;
  std::istringstream log(testutil::read_file(trace.path("log")));
  for (std::string l; std::getline(log, l);) {
    size_t paren = l.find('(');
    if (paren != std::string::npos && paren > 0 && l[0] != '+' && l[0] != '-')
      ++calls[l.substr(0, paren)];
  }
  return calls;
}

TEST(Faults, KilledAtAnySystemCallTheFileIsWholeOldOrNew) {
  // The sanitizers' own start-up would only add system calls to kill at.
  if (sandbox::kSanitized || sandbox::emulated())
    GTEST_SKIP() << "the sweep runs on the plain host build";
  fixture f;
  std::map<std::string, int> calls = syscalls_of_write(f.before);
  ASSERT_GT(calls["rename"] + calls["renameat"] + calls["renameat2"], 0);
  std::set<std::string> outcomes;
  for (const auto &[name, count] : calls) {
    for (int n = 1; n <= count; ++n) {
      SCOPED_TRACE(name + " #" + std::to_string(n));
      testutil::scratch etc;
      testutil::write_file(etc.path("debug.cfg"), f.before);
      sandbox::options opt;
      opt.wrapper = strace({"-e", "inject=" + name + ":signal=KILL:when=" + std::to_string(n)});
      sandbox::run(etc.dir, {"write", "Type1", "5"}, opt);
      std::string now = testutil::read_file(etc.path("debug.cfg"));
      ASSERT_TRUE(now == f.before || now == f.after) << now;
      outcomes.insert(now == f.before ? "old" : "new");
      if (testutil::list_dir(etc.dir).size() > 1) outcomes.insert("temporary file left");

      // Whatever the crash left, the next write cleans up and stores.
      sandbox::result r = sandbox::run(etc.dir, {"write", "Type1", "5"});
      EXPECT_EQ(r.out, f.report_after);
      EXPECT_EQ(testutil::read_file(etc.path("debug.cfg")), f.after);
      EXPECT_EQ(testutil::list_dir(etc.dir), std::vector<std::string>{"debug.cfg"});
    }
  }
  EXPECT_EQ(outcomes, (std::set<std::string>{"old", "new", "temporary file left"}));
}

TEST(Concurrency, WritersTakeTurnsAndReadersNeverSeeATornFile) {
  constexpr int kWriters = 120;
  constexpr int kReaders = 40;
  fixture f;
  // A long file keeps each writer's turn long, so that most of them wait.
  std::string pad = "[pad]\n";
  for (int i = 0; i < 1500; ++i) pad += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  testutil::scratch etc;
  testutil::write_file(etc.path("debug.cfg"), f.before + pad);
  // The report of the fixture's file with Type1 reading v.
  auto report = [&](int v) {
    std::string r = f.report_after;
    return r.replace(r.find("Type1: 5"), 8, "Type1: " + std::to_string(v));
  };
  std::set<std::string> valid = {report(2)};
  std::set<std::string> whole;
  for (int v = 1; v <= kWriters; ++v) {
    valid.insert(report(v));
    std::string want = f.after;
    whole.insert(want.replace(want.find("Type1 = 5"), 9, "Type1 = " + std::to_string(v)) + pad);
  }

  std::vector<sandbox::child> running;
  for (int w = 1; w <= kWriters; ++w) {
    running.push_back(sandbox::start(etc.dir, {"write", "Type1", std::to_string(w)}));
    if (w % (kWriters / kReaders) == 0) running.push_back(sandbox::start(etc.dir, {"read", "x"}));
  }
  for (sandbox::child c : running) {
    sandbox::result r = sandbox::finish(c);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(valid.count(r.out), 1u) << r.out;
  }
  EXPECT_EQ(whole.count(testutil::read_file(etc.path("debug.cfg"))), 1u);
  EXPECT_EQ(testutil::list_dir(etc.dir), std::vector<std::string>{"debug.cfg"});
}

}  // namespace
