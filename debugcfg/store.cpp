#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iniparser.h>

#include "ini_edit.h"
#include "record.h"

namespace debugcfg {

namespace {

struct fd_guard {
  int fd = -1;
  fd_guard() = default;
  explicit fd_guard(int f) : fd(f) {}
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

// Removes the temporary file unless it has become the configuration file.
struct tmp_guard {
  const char *path;
  ~tmp_guard() {
    if (path) unlink(path);
  }
};

// The store's own loads are checks; iniparser's complaints about a text
// that does not load would only be noise on stderr.
// NOLINTNEXTLINE(cert-dcl50-cpp): iniparser's callback is printf-shaped.
int say_nothing(const char * /*format*/, ...) { return 0; }

struct quiet_iniparser {
  quiet_iniparser() { iniparser_set_error_callback(say_nothing); }
  ~quiet_iniparser() { iniparser_set_error_callback(nullptr); }
};

const char *errno_text() { return strerror(errno); }

constexpr const char *kNoVerify = "new text does not verify";

int read_all(int fd, size_t hint, text_buf *buf) {
  size_t cap = hint + 1;
  buf->data = static_cast<char *>(malloc(cap));
  buf->len = 0;
  if (!buf->data) return -1;
  for (;;) {
    if (buf->len == cap) {
      char *grown = static_cast<char *>(realloc(buf->data, cap * 2));
      if (!grown) return -1;
      buf->data = grown;
      cap *= 2;
    }
    ssize_t got = read(fd, buf->data + buf->len, cap - buf->len);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) return 0;
    buf->len += static_cast<size_t>(got);
  }
}

int write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return -1;
    if (put == 0) {
      errno = EIO;
      return -1;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return 0;
}

// True when `after` holds every entry of `before` unchanged except
// `changed`, which reads `want`; `section` may be new, as a bare header.
bool same_but(const dictionary *before, const dictionary *after, const char *changed,
              const char *want, const char *section) {
  static const char missing[1] = "";
  bool saw = false;
  for (decltype(after->size) i = 0; i < after->size; ++i) {
    const char *key = after->key[i];
    const char *val = after->val[i];
    if (!key) continue;
    if (strcmp(key, changed) == 0) {
      if (!val || strcmp(val, want) != 0) return false;
      saw = true;
      continue;
    }
    const char *old = dictionary_get(before, key, missing);
    if (old == missing) {
      if (strcmp(key, section) == 0 && !val) continue;
      return false;
    }
    if (!old != !val || (old && strcmp(old, val) != 0)) return false;
  }
  for (decltype(before->size) i = 0; i < before->size; ++i) {
    const char *key = before->key[i];
    if (key && strcmp(key, changed) != 0 && dictionary_get(after, key, missing) == missing)
      return false;
  }
  return saw;
}

// Reads the written file back: its bytes must be the new text, and
// iniparser must take from it the old entries with only sys:type1 changed.
const char *verify(const char *tmp, const text_buf &text, const dictionary *before,
                   const char *want) {
  fd_guard fd(open(tmp, O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) return errno_text();
  text_buf back;
  if (read_all(fd.fd, text.len, &back) != 0) return errno_text();
  if (back.len != text.len || memcmp(back.data, text.data, text.len) != 0)
    return "written text does not read back";
  dict_guard after(iniparser_load(tmp));
  if (!after.d) return "new text does not load";
  if (!same_but(before, after.d, "sys:type1", want, "sys")) return kNoVerify;
  return nullptr;
}

// Splits an absolute path into its directory and the temporary file
// beside it. Returns -1 when either would not fit.
int paths_beside(const char *target, char *dir, char *tmp) {
  const char *slash = strrchr(target, '/');
  size_t dir_len = slash == target ? 1 : static_cast<size_t>(slash - target);
  if (dir_len >= PATH_MAX) return -1;
  memcpy(dir, target, dir_len);
  dir[dir_len] = '\0';
  int n = snprintf(tmp, PATH_MAX, "%.*s/.%s.tmp", static_cast<int>(slash - target), target,
                   slash + 1);
  return n < 0 || n >= PATH_MAX ? -1 : 0;
}

// Puts text in place of the file at target, through tmp beside it in dir,
// with the owner, group and mode of st, once it reads back and verifies.
const char *replace(const char *target, const char *dir, const char *tmp, const struct stat &st,
                    const text_buf &text, const dictionary *before, const char *want) {
  fd_guard dirfd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirfd.fd < 0) return errno_text();
  fd_guard out(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.fd < 0) return errno_text();
  tmp_guard cleanup{tmp};
  // A new file may take its group from a setgid folder or a grpid mount:
  // what it was given, not who this process is, says what to change.
  struct stat made;
  if (fstat(out.fd, &made) != 0) return errno_text();
  if ((made.st_uid != st.st_uid || made.st_gid != st.st_gid) &&
      fchown(out.fd, st.st_uid, st.st_gid) != 0)
    return errno_text();
  if (fchmod(out.fd, st.st_mode & 07777) != 0) return errno_text();
  if (write_all(out.fd, text.data, text.len) != 0) return errno_text();
  if (fsync(out.fd) != 0) return errno_text();
  if (close(out.release()) != 0) return errno_text();
  if (const char *bad = verify(tmp, text, before, want)) return bad;
  if (rename(tmp, target) != 0) return errno_text();
  cleanup.path = nullptr;
  // The new text is in place; without this it may not survive a power cut.
  if (fsync(dirfd.fd) != 0) return errno_text();
  return nullptr;
}

const char *store(const char *path, int8_t type1) {
  quiet_iniparser quiet;
  char dir[PATH_MAX];
  char tmp[PATH_MAX];
  char target[PATH_MAX];
  // Every writer names the same path, so a lock on the folder that holds it
  // makes them all take turns; no store ever replaces that folder, so a
  // writer that waited holds a lock that still counts.
  if (paths_beside(path, dir, tmp) != 0) return strerror(ENAMETOOLONG);
  fd_guard lock(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.fd < 0 || flock(lock.fd, LOCK_EX) != 0) return errno_text();

  // Whatever the path names once the lock is held, through however many
  // links, is the file read and replaced; the links stay as they are.
  if (!realpath(path, target)) return errno_text();
  if (paths_beside(target, dir, tmp) != 0) return strerror(ENAMETOOLONG);
  fd_guard file(open(target, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st = {};
  if (file.fd < 0 || fstat(file.fd, &st) != 0) return errno_text();
  if (!S_ISREG(st.st_mode)) return kNotRegular;
  // Holding the lock, any temporary file is one an interrupted store left.
  unlink(tmp);

  text_buf old;
  if (read_all(file.fd, static_cast<size_t>(st.st_size), &old) != 0) return errno_text();
  dict_guard before(iniparser_load(target));
  if (!before.d) return "file does not load";

  char want[8];
  snprintf(want, sizeof want, "%d", type1);
  // The editor reads lines as iniparser 4.1 does; where the iniparser that
  // runs here reads them otherwise, a [sys] block of its own at the end is
  // read alike by every release. Only iniparser's reading decides.
  const char *why = nullptr;
  for (int append_block = 0; append_block < 2; ++append_block) {
    text_buf text;
    if (ini_set_entry(old.data, old.len, "sys", "Type1", want, append_block != 0, &text, &why) != 0)
      return append_block ? kNoVerify : why;
    if (text.len == old.len && memcmp(text.data, old.data, old.len) == 0) {
      const char *now = entry_text(before.d, "sys:type1");
      if (now && strcmp(now, want) == 0) return nullptr;
      continue;
    }
    why = replace(target, dir, tmp, st, text, before.d, want);
    if (why != kNoVerify) return why;
  }
  return kNoVerify;
}

}  // namespace

int debug_store_type1(const char *path, int8_t type1, const char **why) {
  const char *failed = store(path, type1);
  if (!failed) return 0;
  *why = failed;
  return -1;
}

}  // namespace debugcfg
