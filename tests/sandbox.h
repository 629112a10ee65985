// Runs the debug binary in a private root made with bubblewrap, where a
// scratch folder stands at /quarn_etc, so tests use the real fixed path
// without touching the machine's own.
#ifndef TESTS_SANDBOX_H
#define TESTS_SANDBOX_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace sandbox {

struct options {
  bool read_only = false;             // bind /quarn_etc read-only
  std::vector<std::string> wrapper;   // runs the tool, e.g. strace and its flags
  std::string trace_dir;              // when set, bound at /trace
};

struct result {
  int status;  // exit status, or 128 + signal
  std::string out;
};

struct child {
  pid_t pid;
  int out_fd;
};

// True when the binary under test runs under an emulator.
bool emulated();

// True in a build with AddressSanitizer, where memcheck and strace's
// system-call counts do not apply.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

child start(const std::string &etc_dir, const std::vector<std::string> &args,
            const options &opt = {});
result finish(child c);
result run(const std::string &etc_dir, const std::vector<std::string> &args,
           const options &opt = {});

}  // namespace sandbox

#endif
