#include "sandbox.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace sandbox {

namespace {

// The binary under test and what runs it: the host build by default, or
// another build (a cross build under qemu) named in the environment.
std::string binary() {
  const char *b = getenv("DEBUG_E2E_BINARY");
  return b && *b ? b : DEBUG_BINARY;
}

std::vector<std::string> emulator() {
  std::vector<std::string> words;
  const char *e = getenv("DEBUG_E2E_EMULATOR");
  std::istringstream in(e ? e : "");
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

}  // namespace

bool emulated() { return !emulator().empty(); }

child start(const std::string &etc_dir, const std::vector<std::string> &args,
            const options &opt) {
  std::string bin = binary();
  std::string dir = bin.substr(0, bin.rfind('/'));
  std::vector<std::string> argv = {SANDBOX, etc_dir, dir};
  if (opt.read_only) argv.insert(argv.end(), {"--ro-bind", etc_dir, "/quarn_etc"});
  if (!opt.trace_dir.empty()) argv.insert(argv.end(), {"--bind", opt.trace_dir, "/trace"});
  argv.insert(argv.end(), opt.wrapper.begin(), opt.wrapper.end());
  std::vector<std::string> emu = emulator();
  argv.insert(argv.end(), emu.begin(), emu.end());
  argv.push_back("/opt/bin/" + bin.substr(bin.rfind('/') + 1));
  argv.insert(argv.end(), args.begin(), args.end());

  int fds[2];
  if (pipe(fds) != 0) abort();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char *> cargv;
    for (std::string &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    execvp(cargv[0], cargv.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0]};
}

result finish(child c) {
  result r{0, ""};
  char buf[4096];
  for (ssize_t n; (n = read(c.out_fd, buf, sizeof buf)) > 0;)
    r.out.append(buf, static_cast<size_t>(n));
  close(c.out_fd);
  int st = 0;
  waitpid(c.pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

result run(const std::string &etc_dir, const std::vector<std::string> &args,
           const options &opt) {
  return finish(start(etc_dir, args, opt));
}

}  // namespace sandbox
