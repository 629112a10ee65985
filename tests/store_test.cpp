#include "store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "testutil.h"

namespace {

using debugcfg::debug_store_type1;

struct stored {
  int rc;
  std::string why;
};

stored store(const std::string &path, int8_t value) {
  const char *why = nullptr;
  int rc = debug_store_type1(path.c_str(), value, &why);
  return {rc, why ? why : ""};
}

TEST(Store, KeepsLinkOwnerGroupAndModeAndRemovesLeftovers) {
  const struct {
    const char *name;
    gid_t setgid_folder;  // 0: a plain folder
    uid_t uid;
    gid_t gid;
  } cases[] = {
      {"another owner's file", 0, 1234, 5678},
      {"root's file in a setgid folder", 5678, 0, 0},
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
    testutil::write_file(s.path(".real.cfg.tmp"), "left by a crash");

    EXPECT_EQ(store(s.path("debug.cfg"), 7).rc, 0);

    struct stat st;
    ASSERT_EQ(lstat(s.path("debug.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(s.path("real.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(testutil::read_file(s.path("real.cfg")), "[sys]\nType1=7\n");
    EXPECT_NE(access(s.path(".real.cfg.tmp").c_str(), F_OK), 0);
    ASSERT_EQ(stat(s.path(".real.cfg.lock").c_str(), &st), 0);
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
  } cases[] = {
      {"not a regular file", "debug.cfg", nullptr, "", "not a regular file"},
      {"text iniparser cannot load", "debug.cfg", "debug.cfg", "[sys]\nType1\n",
       "file does not load"},
      {"a link to root's file planted as the lock file", "other.cfg", "other.cfg",
       "[sys]\nType1 = 1\n", "unsafe lock file"},
      {"another account's link to root's file", "data/debug.cfg", "victim/smb.conf",
       "[sys]\nType1 = 1\n", "unsafe link or folder on the path"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    testutil::scratch s;
    // Account 1000's folder, with its link to a file of root's beside a
    // file that looks like a temporary one.
    ASSERT_EQ(mkdir(s.path("victim").c_str(), 0700), 0);
    testutil::write_file(s.path("victim/.smb.conf.tmp"), "root's");
    ASSERT_EQ(mkdir(s.path("data").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../victim/smb.conf", s.path("data/debug.cfg").c_str()), 0);
    ASSERT_EQ(symlink("victim/.smb.conf.tmp", s.path(".other.cfg.lock").c_str()), 0);
    ASSERT_EQ(chown(s.path("data").c_str(), 1000, 1000), 0);
    ASSERT_EQ(lchown(s.path("data/debug.cfg").c_str(), 1000, 1000), 0);
    if (c.real)
      testutil::write_file(s.path(c.real), c.text, 0600);
    else
      ASSERT_EQ(mkdir(s.path(c.path).c_str(), 0755), 0);
    stored r = store(s.path(c.path), -128);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.why, c.why);
    if (c.real) {
      EXPECT_EQ(testutil::read_file(s.path(c.real)), c.text);
    }
    EXPECT_NE(access(s.path(".debug.cfg.tmp").c_str(), F_OK), 0);
    EXPECT_EQ(testutil::read_file(s.path("victim/.smb.conf.tmp")), "root's");
  }
}

TEST(Store, NeverCreatesAMissingFile) {
  testutil::scratch s;
  stored r = store(s.path("debug.cfg"), 5);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.why, "No such file or directory");
  EXPECT_NE(access(s.path("debug.cfg").c_str(), F_OK), 0);
}

}  // namespace
