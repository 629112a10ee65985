// The store on the layouts a device has, under failing system calls,
// crashes at every step, and many writers and readers at once: the file is
// always the whole old text or the whole new one.
#include <gtest/gtest.h>
#include <stdlib.h>

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

// Runs the tool as "$@" in a shell script, with what else it does in the
// private root, as another process would.
std::vector<std::string> around(const std::string &script, std::vector<std::string> tool = {}) {
  std::vector<std::string> w = {"/bin/sh", "-c", script, "sh"};
  w.insert(w.end(), tool.begin(), tool.end());
  return w;
}

// Runs the tool while account 1000 (with setpriv's options `who`) watches
// /quarn_etc and tries to open each new file with open()'s flags
// until it is gone, printing "peeked" if it could; setup runs first. The
// tool pauses as it first lists the old file's attributes.
std::vector<std::string> peek(const std::string &setup, const std::string &who, int flags) {
  return around("chmod 755 /quarn_etc && chmod 1777 /tmp && " + setup + R"( && cat > /tmp/peek <<'EOF'
import ctypes, os, sys
c = ctypes.CDLL(None); i = c.inotify_init(); c.inotify_add_watch(i, b"/quarn_etc", 256)
open("/tmp/ready", "w")
while True:
    e = os.read(i, 4096)
    while e:
        l = int.from_bytes(e[12:16], "little"); n = e[16:16 + l].rstrip(b"\0"); e = e[16 + l:]
        while n.endswith(b")" DEBUG_NEW_SUFFIX R"("):
            try: os.open(b"/quarn_etc/" + n, int(sys.argv[1])); print("peeked", flush=True); os._exit(0)
            except PermissionError: pass
            except FileNotFoundError: break
EOF
setpriv --reuid 1000 --regid 1000 )" + who + " python3 /tmp/peek " + std::to_string(flags) +
                R"( & for i in $(seq 100); do [ -e /tmp/ready ] || sleep 0.05; done; "$@"; kill $!)",
                strace({"-e", "inject=flistxattr:delay_enter=300000:when=1"}));
}

// A folder for writes, holding `text` as debug.cfg: the scratch folder or,
// given fs (shell, in the scratch folder, that mounts a file system as
// "fs"), that file system, unmounted with it.
struct place {
  testutil::scratch s;
  std::string dir;
  place(const char *fs, const std::string &text) : dir(fs ? s.path("fs") : s.dir) {
    EXPECT_EQ(fs ? system(("cd " + s.dir + " && " + fs).c_str()) : 0, 0) << fs;
    testutil::write_file(dir + "/debug.cfg", text);
  }
  ~place() { EXPECT_EQ(dir == s.dir ? 0 : system(("umount " + dir).c_str()), 0); }
  place(const place &) = delete;
  place &operator=(const place &) = delete;
};

// A file system without unnamed files (O_TMPFILE), as NFS, JFFS2 and vfat.
const char *const kNoTmpfile = "mkdir real fs && bindfs real fs";

// Runs the tool while a daemon holds the file open for writing and writes
// nothing, after setup, its wall clock (not its monotonic one) set by
// faketime's `clock` if given. Only the watch may delay the write.
std::vector<std::string> beside_holder(const std::string &setup, const std::string &clock = "") {
  std::string fake = clock.empty() ? "" : "env FAKETIME_DONT_FAKE_MONOTONIC=1 "
      "ASAN_OPTIONS=verify_asan_link_order=0 faketime '" + clock + "' ";
  return around(setup + "; sleep 9 3>>/quarn_etc/debug.cfg & sleep 0.2; timeout 4 " + fake +
                "\"$@\"; s=$?; kill $!; exit $s");
}

// Paths that the kernel resolves alike lead both commands to the same file:
// /quarn_etc as a link written with a trailing "/", "//" or "/.", and the
// file as its owner's link "./real.cfg" in root's folder.
TEST(Paths, EveryShapeLeadsToTheFile) {
  const std::string move = "mkdir /data && mount --bind /quarn_etc /data && umount /quarn_etc && "
                           "rmdir /quarn_etc && ";
  const std::string setups[] = {
      move + "ln -s /data/ /quarn_etc", move + "ln -s data// /quarn_etc",
      move + "ln -s /data/. /quarn_etc", move + "ln -s ../data/./ /quarn_etc",
      "cd /quarn_etc && { [ -L debug.cfg ] || { mv debug.cfg real.cfg && "
      "ln -s ./real.cfg debug.cfg; }; } && chown -h 1000 real.cfg debug.cfg"};
  fixture f;
  for (const std::string &setup : setups) {
    SCOPED_TRACE(setup);
    testutil::scratch etc;
    testutil::write_file(etc.path("debug.cfg"), f.before);
    sandbox::options opt;
    opt.wrapper = around(setup + " && exec \"$@\"");
    EXPECT_EQ(sandbox::run(etc.dir, {"read", "x"}, opt).out, f.report_before);
    EXPECT_EQ(sandbox::run(etc.dir, {"write", "Type1", "5"}, opt).out, f.report_after);
    EXPECT_EQ(testutil::read_file(etc.path("debug.cfg")), f.after);
  }
}

TEST(Faults, StoreTellsWhatHappenedAndKeepsTheFileWhole) {
  if (sandbox::emulated()) GTEST_SKIP() << "strace faults run on the host build";
  const struct {
    const char *name;
    std::vector<std::string> wrapper;
    bool read_only;
    std::string says;  // the line before the report
    bool stored;       // the write took place
    const char *edit;  // what a process that takes no turn appends meanwhile,
                       // or with a leading '#', puts in place of the first byte
    const char *fs = nullptr;  // shell that mounts /quarn_etc's folder as "fs"
    const char *out = nullptr;  // all of stdout, where no report follows
  } cases[] = {
      {"fsync fails", strace({"-e", "inject=fsync:error=EIO"}), false,
       "save config file failed: new file /quarn_etc/" NEW_OF_CFG ": Input/output error", false, ""},
      {"rename fails", strace({"-e", "inject=rename,renameat,renameat2:error=EIO"}), false,
       "save config file failed: Input/output error", false, ""},
      {"disk full", strace({"-e", "inject=pwrite64:error=ENOSPC:when=1"}), false,
       "save config file failed: new file /quarn_etc/" NEW_OF_CFG ": No space left on device", false,
       ""},
      {"short write", strace({"-e", "inject=pwrite64:retval=3:when=1"}), false,
       "save config file failed: written text does not read back", false, ""},
      {"read-only filesystem", {}, true,
       "save config file failed: lock file /quarn_etc/" LOCK_OF_CFG ": Read-only file system", false, ""},
      {"file-size limit", around("ulimit -f 0; exec \"$@\""), false,
       "save config file failed: new file /quarn_etc/" NEW_OF_CFG ": File too large", false, ""},
      {"file-size limit within the new text", around("exec prlimit --fsize=100 \"$@\""), false,
       "save config file failed: new file /quarn_etc/" NEW_OF_CFG ": File too large", false, ""},
      {"folder append-only", around("chattr +a /quarn_etc && { \"$@\"; chattr -a /quarn_etc; "
                                    "[ ! -e /quarn_etc/" LOCK_OF_CFG " ] || echo lock made; }"),
       false, "save config file failed: folder is immutable or append-only", false, ""},
      {"read-only, the file holding the value already",
       around("sed -i 's/Type1 = 2/Type1 = 5/' /quarn_etc/debug.cfg && "
              "mount -o remount,ro,bind /quarn_etc && exec \"$@\""),
       false, "", true, ""},
      {"the file's owner changed away and back",
       around("chown 1000 /quarn_etc/debug.cfg && \"$1\" write Type1 7 >/dev/null && "
              "chown 0 /quarn_etc/debug.cfg && exec \"$@\""),
       false, "", true, ""},
      {"a file system that keeps no modes and refuses chmod and chown", {}, false, "", true, "",
       "mkdir real fs && bindfs -p 0755 --chmod-deny --chown-deny real fs"},
      {"lock held past the wait, SIGALRM blocked, 10 ms timer slack (the clock runs 30 times fast)",
       around("(umask 077; flock /quarn_etc/" LOCK_OF_CFG " sleep 4) >/dev/null & sleep 1; "
              "ASAN_OPTIONS=verify_asan_link_order=0 exec timeout 3 perl -MPOSIX -e "
              "'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGALRM)); alarm 1; "
              "syscall(157, 29, 10000000, 0, 0, 0); exec @ARGV' faketime -f '+0 x30' \"$@\""),
       false, "save config file failed: waited 30 s for the writers' lock", false, ""},
      // flock on the folder and the file, a POSIX and an OFD (37,
      // F_OFD_SETLK) read lock on the file: none may delay the write.
      {"a reader holds every lock it can take",
       around("chmod 755 /quarn_etc; setpriv --reuid 1000 --regid 1000 --clear-groups perl "
              "-MFcntl=:DEFAULT,:flock -e 'sysopen D, \"/quarn_etc\", O_RDONLY; flock D, LOCK_EX;"
              "open F, \"/quarn_etc/debug.cfg\"; open G, \"/quarn_etc/debug.cfg\"; flock F, LOCK_EX;"
              "my $l = pack \"ssx4qqix4\", F_RDLCK, 0, 0, 0, 0; fcntl F, F_SETLK, $l or die;"
              "fcntl G, 37, $l or die; sleep 5' >/dev/null & sleep 1; exec timeout 3 \"$@\""),
       false, "", true, ""},
      // The tool uses only /proc/self/fd, and the sanitizers need the rest.
      {"no /proc/self/fd (iniparser 4.1 loads the new text only by name)",
       around("mount -t tmpfs none /proc/$$/fd && exec \"$@\""), false,
       "save config file failed: /proc is not mounted", false, ""},
      {"a file mounted over the name",
       around("cp /quarn_etc/debug.cfg /tmp && mount --bind /tmp/debug.cfg /quarn_etc/debug.cfg "
              "&& exec \"$@\""),
       false, "save config file failed: file is a mount point", false, ""},
      {"folder sync fails after the rename", strace({"-e", "inject=fsync:error=EIO:when=2"}), false,
       "save config file: stored, but the folder was not synced: Input/output error", true, ""},
      {"another process appends while the write syncs",
       around("\"$@\" & sleep 1; echo 'k = 1' >> /quarn_etc/debug.cfg; wait $!",
              strace({"-e", "inject=fsync:delay_enter=2000000:when=1"})),
       false, "", true, "k = 1\n"},
      {"another process appends between the write's two reads of the file",
       around("\"$@\" & sleep 1; echo 'k = 1' >> /quarn_etc/debug.cfg; wait $!",
              strace({"-e", "inject=pread64:delay_exit=2000000:when=4"})),
       false, "", true, "k = 1\n"},
      // Programs that save their settings in place take no turn: what they
      // write is kept, and the write's change made on top of it.
      {"a daemon rewrites the file in place, pausing after the truncation",
       around("perl -e 'open F, \"<\", $ARGV[0]; $t = join \"\", <F>; open F, \">\", $ARGV[0]; "
              "syswrite F, substr($t, 0, 60); sleep 1; syswrite F, substr($t, 60) . \"k = 1\\n\"' "
              "/quarn_etc/debug.cfg & sleep 0.3; \"$@\"; wait"),
       false, "", true, "k = 1\n"},
      {"a shell script rewrites the file with > while the write syncs",
       around("cp /quarn_etc/debug.cfg /tmp/o; \"$@\" & sleep 1.8; { head -n 3 /tmp/o; sleep 0.5; "
              "tail -n +4 /tmp/o; echo 'k = 1'; } > /quarn_etc/debug.cfg; wait $!",
              strace({"-e", "inject=fsync:delay_enter=2000000:when=1"})),
       false, "", true, "k = 1\n"},
      {"a daemon opens the file for writing while the write syncs, and writes later",
       around("\"$@\" & sleep 1; perl -e 'open F, \"+<\", $ARGV[0]; select undef, undef, undef, "
              "0.3; seek F, 0, 2; print F \"k = 1\\n\"' /quarn_etc/debug.cfg; wait $!",
              strace({"-e", "inject=fsync:delay_enter=2000000:when=1"})),
       false, "", true, "k = 1\n"},
      // One that only holds it open is told from one writing it by what the
      // watch sees, whatever its times say against the tool's clock.
      {"a daemon that only holds the file open for writing delays the write by the watch alone",
       beside_holder("touch -d '-1 min' /quarn_etc/debug.cfg"), false, "", true, ""},
      {"the same, the file dated an hour ahead", beside_holder("touch -d '+1 hour' /quarn_etc/debug.cfg"),
       false, "", true, ""},
      {"the same, the clock at 1970 as before NTP", beside_holder("true", "1970-01-01 00:00:10"),
       false, "", true, ""},
      {"a daemon rewrites the file in place, pausing 1.5 s, the tool's clock stepped a day ahead",
       around("perl -e 'open F, \"<\", $ARGV[0]; $t = join \"\", <F>; open F, \">\", $ARGV[0]; "
              "syswrite F, substr($t, 0, 60); select undef, undef, undef, 1.5; syswrite F, "
              "substr($t, 60) . \"k = 1\\n\"' /quarn_etc/debug.cfg & sleep 0.3; env "
              "FAKETIME_DONT_FAKE_MONOTONIC=1 ASAN_OPTIONS=verify_asan_link_order=0 faketime -f +1d "
              "\"$@\"; wait"),
       false, "", true, "k = 1\n"},
      {"a write of another key while a daemon appends and holds the file open waits for nothing",
       around("(echo 'k = 1'; exec sleep 3) >>/quarn_etc/debug.cfg & sleep 0.2; timeout 1 \"$1\" "
              "write Type2 5; s=$?; kill $!; exit $s"),
       false, "", false, "k = 1\n", nullptr, ""},
      // Account 1000, watching, never opens the new file the old one closes
      // to it: a folder's default ACL, the group of a file whose ACL shuts
      // it out, a default ACL that would let it write.
      {"a folder's default ACL that grants a reader", peek("setfacl -d -m u:1000:r /quarn_etc &&"
       " chmod 640 /quarn_etc/debug.cfg", "--clear-groups", 0), false, "", true, ""},
      {"a group that the file's ACL shuts out", peek("chgrp 50 /quarn_etc/debug.cfg && "
       "setfacl -m g::-,u:65534:r,m::r /quarn_etc/debug.cfg", "--groups 50", 0), false, "", true, ""},
      {"a folder's default ACL that grants a writer", peek("setfacl -d -m u:1000:rw /quarn_etc && "
       "chmod 660 /quarn_etc/debug.cfg", "--clear-groups", 2), false, "", true, ""},
      {"the file's owner holds a write lease past the wait (the clock runs 30 times fast)",
       around("chmod 755 /quarn_etc && chown 1000 /quarn_etc/debug.cfg && setpriv --reuid 1000 --regid 1000 --clear-groups "
              "perl -e 'open F, \"<\", \"/quarn_etc/debug.cfg\"; fcntl(F, 1024, 1) or die; $SIG{IO} = "
              "\"IGNORE\"; sleep 9' & sleep 0.5; ASAN_OPTIONS=verify_asan_link_order=0 timeout 5 "
              "faketime -f '+0 x30' \"$@\"; s=$?; kill $!; exit $s"),
       false, "", false, "", nullptr, "save config file failed: waited 30 s for another process's "
       "lease\r\nopen config file failed!"},
      {"a new file an earlier owner's write left",
       around("touch /quarn_etc/" NEW_OF_CFG " && chown 1000 /quarn_etc/" NEW_OF_CFG " && exec \"$@\""),
       false, "", true, ""},
      {"same-size change in place within the file's last second",
       around("t=$(date +%s); while [ \"$(date +%s)\" = $t ]; do :; done; sleep 0.1;"
              "touch /quarn_etc/debug.cfg; "
              "\"$@\" & sleep 0.5; printf '#' | dd of=/quarn_etc/debug.cfg conv=notrunc 2>/dev/null;"
              "wait $!", strace({"-e", "inject=fsync:delay_enter=2000000:when=1"})),
       false, "", true, "#",
       "truncate -s 4M img && mkfs.ext4 -q -I 128 img 2>/dev/null && mkdir fs && "
       "mount -o loop img fs && rmdir fs/lost+found"},
  };
  fixture f;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    place at(c.fs, f.before);
    const std::string &dir = at.dir;
    sandbox::options opt;
    opt.read_only = c.read_only;
    opt.wrapper = c.wrapper;
    sandbox::result r = sandbox::run(dir, {"write", "Type1", "5"}, opt);
    std::string says = c.says.empty() ? "" : c.says + "\r\n";
    EXPECT_EQ(r.out, c.out ? c.out : says + (c.stored ? f.report_after : f.report_before));
    EXPECT_EQ(r.status, 0);
    std::string want = c.stored ? f.after : f.before;
    EXPECT_EQ(testutil::read_file(dir + "/debug.cfg"),
              *c.edit == '#' ? want.replace(0, 1, c.edit) : want + c.edit);
    EXPECT_EQ(testutil::list_dir(dir), std::vector<std::string>{"debug.cfg"});
  }
}

TEST(Faults, AFolderSwappedMidWriteLeadsNowhereElse) {
  if (sandbox::emulated()) GTEST_SKIP() << "strace delays run on the host build";
  // Where the write waits while the folder is swapped: in its turn, or
  // syncing. Either way it stores in the folder it had found.
  const char *delays[] = {"inject=flock:delay_exit=2000000", "inject=fsync:delay_enter=2000000:when=1"};
  fixture f;
  for (const char *delay : delays) {
    SCOPED_TRACE(delay);
    testutil::scratch etc;
    testutil::write_file(etc.path("debug.cfg"), f.before);
    // Root's link leads into account 1000's folder, which the account
    // swaps for its own link to a folder of root's.
    sandbox::options opt;
    opt.wrapper = around(
        "cd /quarn_etc && mkdir data victim && mv debug.cfg data && chown -R 1000 data && "
        "ln -s data/debug.cfg debug.cfg && echo root > victim/debug.cfg && "
        "{ \"$@\" & sleep 1; mv data old && ln -s victim data && chown -h 1000 data; wait $!; }",
        strace({"-e", delay}));
    sandbox::result r = sandbox::run(etc.dir, {"write", "Type1", "5"}, opt);
    EXPECT_EQ(r.out, "open config file failed!");
    EXPECT_EQ(testutil::read_file(etc.path("old/debug.cfg")), f.after);
    EXPECT_EQ(testutil::list_dir(etc.path("victim")), std::vector<std::string>{"debug.cfg"});
    EXPECT_EQ(testutil::read_file(etc.path("victim/debug.cfg")), "root\n");
  }
}

TEST(Faults, ReportLostOnAFullDiskIsNotSuccess) {
  fixture f;
  testutil::scratch etc;
  testutil::write_file(etc.path("debug.cfg"), f.before);
  sandbox::options opt;
  opt.wrapper = around("exec \"$@\" >/dev/full");
  for (auto args : {std::vector<std::string>{"read", "x"}, {"write", "Type1", "5"}, {"help"}}) {
    SCOPED_TRACE(args[0]);
    EXPECT_EQ(sandbox::run(etc.dir, args, opt).status, 255);
  }
  EXPECT_EQ(testutil::read_file(etc.path("debug.cfg")), f.after);
}

// Where the sweep runs a write: a file system (as place's fs), a shell
// setup in the folder, and the call it sweeps up to (all where empty).
struct sweep_place {
  const char *name;
  const char *fs;
  const char *setup;
  std::string until;
};

// Runs the setup of `where` in the folder at, and returns the folder.
std::string ready(const place &at, const sweep_place &where) {
  EXPECT_EQ(system(("cd " + at.dir + " && " + where.setup).c_str()), 0);
  return at.dir;
}

// How many times the write makes each system call.
std::map<std::string, int> syscalls_of_write(const std::string &before, const sweep_place &where) {
  place at(where.fs, before);
  testutil::scratch trace;
  sandbox::options opt;
  opt.trace_dir = trace.dir;
  opt.wrapper = {"/usr/bin/strace", "-qq", "-o", "/trace/log"};
  sandbox::run(ready(at, where), {"write", "Type1", "5"}, opt);
  std::map<std::string, int> calls;
  std::istringstream log(testutil::read_file(trace.path("log")));
  for (std::string l; std::getline(log, l) && l.rfind(where.until + "(", 0) != 0;) {
    size_t paren = l.find('(');
    if (paren != std::string::npos && paren > 0 && l[0] != '+' && l[0] != '-')
      ++calls[l.substr(0, paren)];
  }
  return calls;
}

TEST(Faults, KilledOrStaleAtAnySystemCall) {
  if (sandbox::kSanitized)
    GTEST_SKIP() << "the sanitizers' start-up makes system calls of its own; the plain host builds "
                    "(dev, noopt) sweep";
  if (sandbox::emulated()) GTEST_SKIP() << "strace sees the emulator's calls; the host builds sweep";
  // The calls on files the tool makes itself; iniparser 4.1 reads the file
  // with read(), and takes a failure for its end.
  const std::set<std::string> on_files = {"openat", "newfstatat", "statx", "readlinkat", "pread64",
      "pwrite64", "renameat", "renameat2", "unlinkat", "flock", "fsync", "ioctl", "fchmod",
      "fchown", "flistxattr", "fgetxattr", "fsetxattr", "fremovexattr", "fchdir"};
  // The first write to each: it makes the lock too, which a file system
  // without unnamed files sees under a name of its own; there, up to the
  // turn it takes on the lock.
  const sweep_place places[] = {
      {"root's file", nullptr, "true", ""},
      {"a service account's file, in a folder its group may write, without unnamed files",
       kNoTmpfile, "chown 1000 debug.cfg && chgrp 1000 . && chmod 775 .", "flock"},
  };
  fixture f;
  for (const sweep_place &where : places) {
    SCOPED_TRACE(where.name);
    std::map<std::string, int> calls = syscalls_of_write(f.before, where);
    ASSERT_GT(calls[where.until.empty() ? "renameat" : "linkat"], 0);
    std::set<std::string> outcomes;
    for (const auto &[name, count] : calls) {
      for (int n = 1; n <= count; ++n) {
        SCOPED_TRACE(name + " #" + std::to_string(n));
        place at(where.fs, f.before);
        const std::string dir = ready(at, where);
        sandbox::options opt;
        opt.wrapper = strace({"-e", "inject=" + name + ":signal=KILL:when=" + std::to_string(n)});
        sandbox::run(dir, {"write", "Type1", "5"}, opt);
        std::string now = testutil::read_file(dir + "/debug.cfg");
        ASSERT_TRUE(now == f.before || now == f.after) << now;
        outcomes.insert(now == f.before ? "old" : "new");
        if (testutil::list_dir(dir).size() > 1) outcomes.insert("temporary file left");

        // Whatever the crash left, the next write cleans up and stores.
        sandbox::result r = sandbox::run(dir, {"write", "Type1", "5"});
        EXPECT_EQ(r.out, f.report_after);
        EXPECT_EQ(testutil::read_file(dir + "/debug.cfg"), f.after);
        EXPECT_EQ(testutil::list_dir(dir), std::vector<std::string>{"debug.cfg"});

        // A handle gone stale there, as when another NFS client replaced
        // the file, is looked at again from the path: the write still
        // stores. (One the loader meets starts no tool.) Once the new file
        // is in place (the folder's sync, the last fsync), it is said
        // instead.
        if (!on_files.count(name)) continue;
        testutil::write_file(dir + "/debug.cfg", f.before);
        opt.wrapper = strace({"-e", "inject=" + name + ":error=ESTALE:when=" + std::to_string(n)});
        r = sandbox::run(dir, {"write", "Type1", "5"}, opt);
        if (r.status == 127 && r.out.empty()) continue;
        bool placed = name == "fsync" && n == count;
        EXPECT_EQ(r.out, (placed ? "save config file: stored, but the folder was not synced: Stale "
                                   "file handle\r\n" : "") + f.report_after);
        EXPECT_EQ(testutil::read_file(dir + "/debug.cfg"), f.after);
      }
    }
    if (!where.until.empty()) outcomes.insert("new");  // a sweep up to the turn needs not see one
    EXPECT_EQ(outcomes, (std::set<std::string>{"old", "new", "temporary file left"}));
  }
}

TEST(Concurrency, WritersTakeTurnsAndReadersNeverSeeATornFile) {
  const std::string link = "mkdir data && mv debug.cfg data && ln -s data/debug.cfg debug.cfg && ";
  std::vector<std::string> slow_chown = strace({"-e", "inject=fchown:delay_enter=100000"});
  std::vector<std::string> owner = slow_chown;
  owner.insert(owner.end(), {"setpriv", "--reuid", "1000", "--regid", "1000", "--clear-groups"});
  const struct {
    const char *name;
    std::string setup;  // shell, in the folder, before any writer starts
    int writers, owners, readers;  // as root, as account 1000 (run by owner, first), and readers
    std::vector<std::string> wrap;        // what runs each root writer
    std::vector<std::string> owners_say;  // what one of account 1000 says before its report
    const char *fs = nullptr;             // as place's
  } cases[] = {
      {"writers and readers", "true", 120, 0, 40, {}, {}},
      {"the file's owner, who can't give a lock the file's group, among root writers",
       link + "chown -R 1000 data && chgrp 2000 data/debug.cfg", 30, 10, 0, {},
       {"save config file failed: lock file /quarn_etc/data/" LOCK_OF_CFG ": Operation not "
        "permitted\r\n", "save config file failed: new file /quarn_etc/data/" NEW_OF_CFG ": "
        "Operation not permitted\r\n"}},
      {"the first lock of a service account's file, in a folder its group may write",
       link + "chown 1000 data/debug.cfg && chgrp 1000 data && chmod 775 data", 20, 0, 0,
       slow_chown, {}},
      {"the same without unnamed files, each call that makes the lock slowed",
       link + "chown 1000 data/debug.cfg && chgrp 1000 data && chmod 775 data", 12, 0, 0,
       strace({"-e", "inject=openat,newfstatat,fchown,linkat,close,unlinkat:delay_enter=20000"}), {},
       kNoTmpfile},
  };
  fixture f;
  // A long file keeps each writer's turn long, so that most of them wait;
  // under the emulator every turn is ten times longer already, and the
  // last of 120 writers must still have its turn within the 30 s.
  std::string pad = "[pad]\n";
  for (int i = 0, n = sandbox::emulated() ? 150 : 1500; i < n; ++i) pad += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  // The report of the fixture's file with Type1 reading v.
  auto report = [&](int v) {
    std::string r = f.report_after;
    return r.replace(r.find("Type1: 5"), 8, "Type1: " + std::to_string(v));
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    place at(c.fs, f.before + pad);
    const std::string &dir = at.dir;
    ASSERT_EQ(system(("cd " + dir + " && chmod 755 . && " + c.setup).c_str()), 0);
    std::set<std::string> valid = {report(2)};
    for (const std::string &says : c.owners_say) valid.insert(says + report(2));
    std::set<std::string> whole;
    for (int v = 1; v <= c.writers + c.owners; ++v) {
      valid.insert(report(v));
      for (const std::string &says : c.owners_say) valid.insert(says + report(v));
      std::string want = f.after;
      whole.insert(want.replace(want.find("Type1 = 5"), 9, "Type1 = " + std::to_string(v)) + pad);
    }
    std::vector<sandbox::child> running;
    for (int w = 1; w <= c.writers + c.owners; ++w) {
      sandbox::options opt;
      opt.wrapper = w <= c.owners ? owner : c.wrap;
      running.push_back(sandbox::start(dir, {"write", "Type1", std::to_string(w)}, opt));
      if (c.readers && w % (c.writers / c.readers) == 0)
        running.push_back(sandbox::start(dir, {"read", "x"}));
    }
    for (sandbox::child child : running) {
      sandbox::result r = sandbox::finish(child);
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(valid.count(r.out), 1u) << r.out;
    }
    EXPECT_EQ(whole.count(testutil::read_file(dir + "/debug.cfg")), 1u);
    EXPECT_EQ(testutil::list_dir(testutil::exists(dir + "/data") ? dir + "/data" : dir),
              std::vector<std::string>{"debug.cfg"});
  }
}

}  // namespace
