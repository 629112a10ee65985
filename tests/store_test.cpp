#include "store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <set>
#include <string>

#include "commands.h"
#include "new_file.h"
#include "record.h"
#include "testutil.h"

namespace {

struct stored {
  int rc;
  std::string why;
};

stored store(const std::string &path, int8_t value) {
  debugcfg::fault why;
  debugcfg::patience wait;
  debugcfg::view unread;
  std::string text = std::to_string(value);
  int rc = debugcfg::debug_store(path.c_str(), &unread, debugcfg::kType1, text.c_str(), &wait, &why);
  char words[debugcfg::kFaultText];
  debugcfg::debug_fault_text(why, words);
  return {rc, words};
}

// Every extended attribute of the file at path, "name=value;" each, in
// the order of their names.
std::string xattrs(const std::string &path) {
  char names[4096];
  ssize_t n = listxattr(path.c_str(), names, sizeof names);
  std::set<std::string> all;
  for (ssize_t i = 0; i < n; i += static_cast<ssize_t>(strlen(names + i)) + 1) {
    char value[1024];
    ssize_t v = getxattr(path.c_str(), names + i, value, sizeof value);
    all.insert(std::string(names + i) + "=" + std::string(value, static_cast<size_t>(v > 0 ? v : 0)) + ";");
  }
  std::string each;
  for (const std::string &a : all) each += a;
  return each;
}

TEST(Store, KeepsLinkOwnerGroupModeAttributesAndRemovesLeftovers) {
  const struct {
    const char *name;
    gid_t setgid_folder;  // 0: a plain folder
    uid_t uid;
    gid_t gid;
    const char *attrs = "";  // shell, in the folder, before the store
  } cases[] = {
      {"another owner's file", 0, 1234, 5678},
      {"root's file in a setgid folder", 5678, 0, 0},
      {"an ACL, a security label and a user attribute", 0, 0, 50,
       "setfacl -m u:1000:rw real.cfg && setfattr -n security.quarn -v label real.cfg && "
       "setfattr -n user.note -v kept real.cfg"},
      {"a folder's default ACL that the file lacks", 0, 0, 0, "setfacl -d -m u:1000:rwx ."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testutil::scratch s;
    if (c.setgid_folder) {
      ASSERT_EQ(chown(s.dir.c_str(), 0, c.setgid_folder), 0);
      ASSERT_EQ(chmod(s.dir.c_str(), 02775), 0);
    }
    testutil::write_file(s.path("real.cfg"), "[sys]\nType1=1\n", 0640);
    ASSERT_EQ(chown(s.path("real.cfg").c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(symlink("real.cfg", s.path("debug.cfg").c_str()), 0);
    testutil::write_file(s.path(".real.cfg" DEBUG_NEW_SUFFIX), "left by a crash");
    ASSERT_EQ(system(("cd " + s.dir + "; " + c.attrs).c_str()), 0);
    std::string attrs = xattrs(s.path("real.cfg"));
    struct stat st;
    ASSERT_EQ(stat(s.path("real.cfg").c_str(), &st), 0);
    mode_t mode = st.st_mode & 07777;

    EXPECT_EQ(store(s.path("debug.cfg"), 7).rc, 0);

    ASSERT_EQ(lstat(s.path("debug.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(s.path("real.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(xattrs(s.path("real.cfg")), attrs);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(testutil::read_file(s.path("real.cfg")), "[sys]\nType1=7\n");
    EXPECT_NE(access(s.path(".real.cfg" DEBUG_NEW_SUFFIX).c_str(), F_OK), 0);
    ASSERT_EQ(stat(s.path(".real.cfg" DEBUG_LOCK_SUFFIX).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_size, 0);
  }
}

TEST(Store, WritesNothingWhenTheTextWouldNotChange) {
  testutil::scratch s;
  testutil::write_file(s.path("debug.cfg"), "[sys]\nType1 = -56\n");
  struct stat before, after;
  ASSERT_EQ(stat(s.path("debug.cfg").c_str(), &before), 0);
  EXPECT_EQ(store(s.path("debug.cfg"), -56).rc, 0);
  ASSERT_EQ(stat(s.path("debug.cfg").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(Store, RefusesAndLeavesTheFileAsItWas) {
  const struct {
    const char *name;
    const char *path;  // what the store is given
    const char *real;  // where the text is; nullptr: the path is a folder
    std::string text;
    const char *why;
    const char *other_name = nullptr;  // a hard link to the file
  } cases[] = {
      {"not a regular file", "debug.cfg", nullptr, "", "not a regular file"},
      {"text iniparser cannot load", "debug.cfg", "debug.cfg", "[sys]\nType1\n",
       "file does not load"},
      {"a link to root's file planted as the lock file", "other.cfg", "other.cfg",
       "[sys]\nType1 = 1\n", "unsafe lock file %s/.other.cfg" DEBUG_LOCK_SUFFIX ": a symbolic link"},
      {"another account's link to root's file", "data/debug.cfg", "victim/smb.conf",
       "[sys]\nType1 = 1\n", "unsafe link or folder on the path"},
      {"a daemon's own hard link to the file", "debug.cfg", "debug.cfg", "[sys]\nType1 = 1\n",
       "file has other links", "daemon.cfg"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testutil::scratch s;
    // Account 1000's folder, with its link to a file of root's beside a
    // file that looks like a temporary one.
    ASSERT_EQ(mkdir(s.path("victim").c_str(), 0700), 0);
    testutil::write_file(s.path("victim/.smb.conf" DEBUG_NEW_SUFFIX), "root's");
    ASSERT_EQ(mkdir(s.path("data").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../victim/smb.conf", s.path("data/debug.cfg").c_str()), 0);
    ASSERT_EQ(symlink("victim/.smb.conf" DEBUG_NEW_SUFFIX, s.path(".other.cfg" DEBUG_LOCK_SUFFIX).c_str()), 0);
    ASSERT_EQ(chown(s.path("data").c_str(), 1000, 1000), 0);
    ASSERT_EQ(lchown(s.path("data/debug.cfg").c_str(), 1000, 1000), 0);
    if (c.real)
      testutil::write_file(s.path(c.real), c.text, 0600);
    else
      ASSERT_EQ(mkdir(s.path(c.path).c_str(), 0755), 0);
    if (c.other_name) {
      ASSERT_EQ(link(s.path(c.real).c_str(), s.path(c.other_name).c_str()), 0);
    }
    stored r = store(s.path(c.path), -128);
    EXPECT_EQ(r.rc, -1);
    std::string why = c.why;
    if (why.find("%s") != std::string::npos) why.replace(why.find("%s"), 2, s.dir);
    EXPECT_EQ(r.why, why);
    if (c.real) {
      EXPECT_EQ(testutil::read_file(s.path(c.real)), c.text);
    }
    EXPECT_NE(access(s.path(NEW_OF_CFG).c_str(), F_OK), 0);
    EXPECT_EQ(testutil::read_file(s.path("victim/.smb.conf" DEBUG_NEW_SUFFIX)), "root's");
  }
}

// Account 1000's file in its own folder: what stands at the lock's name
// decides whether the writer takes its turn there.
TEST(Store, TakesItsTurnOnlyOnALockFileOfItsOwn) {
  const struct {
    const char *name;
    const char *setup;  // shell, in the scratch folder
    const char *why;    // %s: the scratch folder; "": stored
    uid_t lock_owner;   // after the store
  } cases[] = {
      {"root's file renamed to the lock's name by the folder's owner",
       "printf secret > data/" LOCK_OF_CFG, "unsafe lock file %s/data/" LOCK_OF_CFG ": not empty", 0},
      {"an earlier owner's lock, in a folder only root and the owner can change",
       "touch data/" LOCK_OF_CFG " && chown 2000 data/" LOCK_OF_CFG, "", 1000},
      {"an earlier owner's lock, in a folder its group may write",
       "touch data/" LOCK_OF_CFG " && chown 2000 data/" LOCK_OF_CFG " && chmod 775 data",
       "unsafe lock file %s/data/" LOCK_OF_CFG ": owned by account 2000", 2000},
      {"a socket", "python3 -c \"import socket; socket.socket(socket.AF_UNIX).bind('data/" LOCK_OF_CFG "')\"",
       "unsafe lock file %s/data/" LOCK_OF_CFG ": not a regular file", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testutil::scratch s;
    ASSERT_EQ(mkdir(s.path("data").c_str(), 0755), 0);
    testutil::write_file(s.path("data/debug.cfg"), "[sys]\nType1 = 1\n", 0600);
    ASSERT_EQ(system(("cd " + s.dir + " && chown -R 1000:1000 data/debug.cfg data && " + c.setup).c_str()), 0);
    stored r = store(s.path("data/debug.cfg"), 7);
    std::string why = c.why;
    if (!why.empty()) why.replace(why.find("%s"), 2, s.dir);
    EXPECT_EQ(r.why, why);
    EXPECT_EQ(testutil::read_file(s.path("data/debug.cfg")), why.empty() ? "[sys]\nType1 = 7\n" : "[sys]\nType1 = 1\n");
    struct stat st;
    ASSERT_EQ(lstat(s.path("data/" LOCK_OF_CFG).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.lock_owner);
  }
}

// Every wait of a command ends at its one deadline, give or take a step.
TEST(Store, WaitsEndAtTheDeadline) {
  debugcfg::patience wait;
  uint32_t start = debugcfg::monotonic_ms();
  wait.first = start - (debugcfg::kPatienceSeconds * 1000 - 55);
  wait.waited = true;
  while (wait.step()) {}
  uint32_t took = debugcfg::monotonic_ms() - start;
  EXPECT_GE(took, 55u);
  EXPECT_LE(took, 65u);
}

// A relative path, or a new file committed before it was made, stops an
// unoptimised build and fails the others.
TEST(Store, MisuseFailsLoudly) {
  debugcfg::found f;
  EXPECT_DEBUG_DEATH(EXPECT_EQ(debugcfg::debug_walk("quarn_etc/debug.cfg", &f).err, EINVAL), "");
  debugcfg::new_file n;
  bool placed = false;
  EXPECT_DEBUG_DEATH(EXPECT_EQ(debugcfg::new_file_commit(&n, &placed).err, EBADF), "");
}

TEST(Store, NeverCreatesAMissingFile) {
  testutil::scratch s;
  stored r = store(s.path("debug.cfg"), 5);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.why, "No such file or directory");
  EXPECT_NE(access(s.path("debug.cfg").c_str(), F_OK), 0);
}

}  // namespace
