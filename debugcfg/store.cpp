#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iniparser.h>

#include "find_file.h"
#include "ini_edit.h"
#include "record.h"

namespace debugcfg {

namespace {

constexpr unsigned kTurnSeconds = 30;
constexpr const char *kNoTurn = "waited 30 s for the folder's lock";
static_assert(kTurnSeconds == 30, "kNoTurn names the wait");
constexpr int kTries = 3;

// Removes the temporary file unless it has become the configuration file.
struct tmp_guard {
  int dir;
  const char *name;
  ~tmp_guard() {
    if (name) unlinkat(dir, name, 0);
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
constexpr const char *kChanged = "file kept changing while it was stored";

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
const char *verify(int fd, const text_buf &text, const dictionary *before, const char *want) {
  text_buf back;
  if (lseek(fd, 0, SEEK_SET) != 0 || read_all(fd, text.len, &back) != 0) return errno_text();
  if (back.len != text.len || memcmp(back.data, text.data, text.len) != 0)
    return "written text does not read back";
  dict_guard after(debug_load_fd(fd));
  if (!after.d) return "new text does not load";
  if (!same_but(before, after.d, "sys:type1", want, "sys")) return kNoVerify;
  return nullptr;
}

// True when the file no longer is what was read: replaced, or changed in
// place by a process that takes no turn. Only the access time, which
// reading it may move, is left out.
bool changed(const found &f) {
  struct stat now = f.st;
  if (fstatat(f.dir.fd, f.name, &now, AT_SYMLINK_NOFOLLOW) != 0) return true;
  now.st_atim = f.st.st_atim;
  return memcmp(&now, &f.st, sizeof now) != 0;
}

// Puts text in place of the found file, through tmp beside it, with the
// file's owner, group and mode, once it reads back and verifies and the
// file is still the one read. *stored says the rename took place.
const char *replace(const found &f, const char *tmp, const text_buf &text,
                    const dictionary *before, const char *want, bool *stored) {
  fd_guard dir(openat(f.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return errno_text();
  fd_guard out(openat(f.dir.fd, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.fd < 0) return errno_text();
  tmp_guard cleanup{f.dir.fd, tmp};
  // A new file may take its group from a setgid folder or a grpid mount:
  // what it was given, not who this process is, says what to change.
  struct stat made;
  if (fstat(out.fd, &made) != 0) return errno_text();
  if ((made.st_uid != f.st.st_uid || made.st_gid != f.st.st_gid) &&
      fchown(out.fd, f.st.st_uid, f.st.st_gid) != 0)
    return errno_text();
  if (fchmod(out.fd, f.st.st_mode & 07777) != 0) return errno_text();
  if (write_all(out.fd, text.data, text.len) != 0) return errno_text();
  if (fsync(out.fd) != 0) return errno_text();
  if (const char *bad = verify(out.fd, text, before, want)) return bad;
  if (changed(f)) return kChanged;
  if (renameat(f.dir.fd, tmp, f.dir.fd, f.name) != 0) return errno_text();
  cleanup.name = nullptr;
  *stored = true;
  // The new text is in place; without this it may not survive a power cut.
  if (fsync(dir.fd) != 0) return errno_text();
  return nullptr;
}

// One store of the file found under the lock; kChanged when another
// process changed it meanwhile, and the store may start again.
const char *store_found(const found &f, int8_t type1, bool *stored) {
  if (!S_ISREG(f.st.st_mode)) return kNotRegular;
  char tmp[NAME_MAX + 8];
  snprintf(tmp, sizeof tmp, ".%s.tmp", f.name);
  // Holding the lock, a temporary file of the file's owner, or of this
  // account before it could hand it over, is one an interrupted store
  // left; nothing else is removed.
  struct stat left;
  if (fstatat(f.dir.fd, tmp, &left, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(left.st_mode) &&
      (left.st_uid == f.st.st_uid || left.st_uid == geteuid()))
    unlinkat(f.dir.fd, tmp, 0);

  const char *why = nullptr;
  fd_guard in(debug_reopen(f.obj.fd, O_RDONLY, &why));
  if (in.fd < 0) return why;
  text_buf old;
  if (read_all(in.fd, static_cast<size_t>(f.st.st_size), &old) != 0) return errno_text();
  dict_guard before(debug_load_fd(in.fd));
  if (!before.d) return "file does not load";

  char want[8];
  snprintf(want, sizeof want, "%d", type1);
  // The editor reads lines as iniparser 4.1 does; where the iniparser that
  // runs here reads them otherwise, a [sys] block of its own at the end is
  // read alike by every release. Only iniparser's reading decides.
  for (int append_block = 0; append_block < 2; ++append_block) {
    text_buf text;
    if (ini_set_entry(old.data, old.len, "sys", "Type1", want, append_block != 0, &text, &why) != 0)
      return append_block ? kNoVerify : why;
    if (text.len == old.len && memcmp(text.data, old.data, old.len) == 0) {
      const char *now = entry_text(before.d, "sys:type1");
      if (now && strcmp(now, want) == 0) return nullptr;
      continue;
    }
    why = replace(f, tmp, text, before.d, want, stored);
    if (why != kNoVerify) return why;
  }
  return kNoVerify;
}

void on_alarm(int /*signal*/) {}

// Waits for this writer's turn on the folder's lock, kTurnSeconds at most:
// the alarm, caught without SA_RESTART, ends the wait. A file-size limit
// from now on fails a write with EFBIG, which is told.
const char *take_turn(int fd) {
  struct sigaction sa = {};
  sa.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &sa, nullptr);
  sa.sa_handler = on_alarm;
  sigaction(SIGALRM, &sa, nullptr);
  alarm(kTurnSeconds);
  int rc = flock(fd, LOCK_EX);
  int err = errno;
  alarm(0);
  if (rc == 0) return nullptr;
  return err == EINTR ? kNoTurn : strerror(err);
}

const char *store(const char *path, int8_t type1, bool *stored) {
  quiet_iniparser quiet;
  const char *why = nullptr;
  // Every writer names the same path, so a lock on the folder that holds it
  // makes them all take turns; no store ever replaces that folder, so a
  // writer that waited holds a lock that still counts.
  const char *slash = strrchr(path, '/');
  found folder;
  if (debug_walk(nullptr, path, static_cast<size_t>(slash - path), &folder, &why) != 0)
    return why;
  fd_guard lock(openat(folder.obj.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.fd < 0) return errno_text();
  if (const char *late = take_turn(lock.fd)) return late;

  // Whatever the name names once the lock is held, through however many
  // links, is the file read and replaced; the links stay as they are.
  for (int tries = 0; tries < kTries; ++tries) {
    found file;
    if (debug_walk(&folder, slash + 1, strlen(slash + 1), &file, &why) != 0) return why;
    why = store_found(file, type1, stored);
    if (why != kChanged) return why;
  }
  return kChanged;
}

}  // namespace

int debug_store_type1(const char *path, int8_t type1, const char **why) {
  bool stored = false;
  const char *failed = store(path, type1, &stored);
  if (!failed) return 0;
  *why = failed;
  return stored ? 1 : -1;
}

}  // namespace debugcfg
