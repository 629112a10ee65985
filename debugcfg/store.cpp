#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <linux/fs.h>
#include <linux/stat.h>
#include <unistd.h>

#include <iniparser.h>

#include "find_file.h"
#include "ini_edit.h"
#include "lock.h"
#include "record.h"

namespace debugcfg {

namespace {

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

constexpr const char *kNoVerify = "new text does not verify";
constexpr const char *kChanged = "file kept changing while it was stored";
constexpr const char *kMountPoint = "file is a mount point";
constexpr const char *kFileFrozen = "file is immutable or append-only";
constexpr const char *kFolderFrozen = "folder is immutable or append-only";

// Reads what fd holds, up to limit + 1 bytes: more than limit says the
// file is longer than it was taken to be. Like every read and write of the
// store it leaves the offset at 0, where a stream of the file starts.
int read_upto(int fd, size_t limit, text_buf *buf) {
  buf->data = static_cast<char *>(malloc(limit + 1));
  buf->len = 0;
  if (!buf->data) return -1;
  for (ssize_t got = 1; got > 0 && buf->len <= limit; buf->len += static_cast<size_t>(got)) {
    got = pread(fd, buf->data + buf->len, limit + 1 - buf->len, static_cast<off_t>(buf->len));
    if (got < 0) return -1;
  }
  return 0;
}

// True when `after` holds every entry of `before` unchanged except
// `changed`, which reads `want`; `section` may be new, as a bare header.
bool same_but(const dictionary *before, const dictionary *after, const char *changed,
              const char *want, const char *section) {
  static const char missing[1] = "";
  bool saw = false;
  long kept = 0;  // entries of `after` found unchanged in `before`
  for (decltype(after->size) i = 0; i < after->size; ++i) {
    const char *key = after->key[i];
    const char *val = after->val[i];
    if (!key) continue;
    if (strcmp(key, changed) == 0) {
      if (!val || strcmp(val, want) != 0) return false;
      saw = true;
      continue;
    }
    const char *old = iniparser_getstring(before, key, missing);
    if (old == missing) {
      if (strcmp(key, section) == 0 && !val) continue;
      return false;
    }
    if (!old != !val || (old && strcmp(old, val) != 0)) return false;
    ++kept;
  }
  // Keys are unique, so as many as `before` holds besides `changed` means
  // every one of them is there.
  return saw && kept + (iniparser_getstring(before, changed, missing) != missing) ==
                    static_cast<long>(before->n);
}

// Null when the file open at fd holds exactly text; else why not.
const char *reads_back(int fd, const text_buf &text) {
  text_buf back;
  if (read_upto(fd, text.len, &back) != 0) return errno_text();
  if (back.len != text.len || memcmp(back.data, text.data, text.len) != 0)
    return "written text does not read back";
  return nullptr;
}

// Writes the whole text from offset 0, in as many calls as it takes, so a
// write cut short says why on the next call: a full disk, a size limit.
int write_all(int fd, const text_buf &text) {
  for (size_t done = 0; done < text.len;) {
    ssize_t put = pwrite(fd, text.data + done, text.len - done, static_cast<off_t>(done));
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return -1;
    }
    done += static_cast<size_t>(put);
  }
  return 0;
}

// The names of the extended attributes of the file open at fd, in *names;
// a file system that has none has none here.
int list_xattrs(int fd, text_buf *names) {
  ssize_t n = flistxattr(fd, nullptr, 0);
  if (n <= 0) return n == 0 || errno == ENOTSUP ? 0 : -1;
  names->data = static_cast<char *>(malloc(static_cast<size_t>(n)));
  if (!names->data || (n = flistxattr(fd, names->data, static_cast<size_t>(n))) < 0) return -1;
  names->len = static_cast<size_t>(n);
  return 0;
}

// Gives the new file open at out the extended attributes of the old one
// open at in, and no ACL the old one lacks (a folder's default ACL gives
// the new one its own): its ACL, security labels, user attributes. One the
// new file already has alike is left as it is: NFS shows its files' modes
// as an ACL that it may not take back. Null, or why not in msg.
const char *carry_xattrs(int in, int out, char (&msg)[kWhySize]) {
  text_buf names;
  text_buf value;
  if (list_xattrs(in, &names) != 0) return errno_text();
  const char *name = "system.posix_acl_access";
  bool ok = fremovexattr(out, name) == 0 || errno == ENODATA || errno == ENOTSUP;
  constexpr size_t kMost = 65536;  // the kernel's bound on a value
  if (names.len) value.data = static_cast<char *>(malloc(2 * kMost));
  for (size_t i = 0; ok && i < names.len; i += strlen(name) + 1) {
    name = names.data + i;
    char *now = value.data + kMost;
    ssize_t n = value.data ? fgetxattr(in, name, value.data, kMost) : -1;
    ok = n >= 0 && ((fgetxattr(out, name, now, kMost) == n &&
                     memcmp(now, value.data, static_cast<size_t>(n)) == 0) ||
                    fsetxattr(out, name, value.data, static_cast<size_t>(n), 0) == 0);
  }
  if (ok) return nullptr;
  const char *error = errno_text();
  if (error == kStale) return error;
  snprintf(msg, sizeof msg, "can't carry the file's %s: %s", name, error);
  return msg;
}

// Reads the written file back: its bytes must be the new text, and
// iniparser must take from it the old entries with only sys:type1 changed.
const char *verify(const found &f, const char *tmp, int fd, const text_buf &text,
                   const dictionary *before, const char *want) {
  if (const char *bad = reads_back(fd, text)) return bad;
  const char *why = "new text does not load";
  dict_guard after(debug_load(f.dir.fd, tmp, fd, tmp, &why));
  if (!after.d) return why;
  if (!same_but(before, after.d, "sys:type1", want, "sys")) return kNoVerify;
  return nullptr;
}

// True when the file no longer is what was read: changed in place by a
// process that takes no turn, or replaced, or given another owner or mode.
// Its bytes are compared, not its size and times: they tell all those
// could, and also a change within one tick of a coarse clock, which leaves
// every time as it was. What NFS cached is fetched afresh first. The name
// is looked at last, as nothing slow may stand between that look and the
// rename.
bool changed(const found &f, int in, const text_buf &old) {
  debug_revalidate(in);
  if (reads_back(in, old) != nullptr) return true;
  debug_revalidate(f.dir.fd);
  struct stat now;
  if (fstatat(f.dir.fd, f.name, &now, AT_SYMLINK_NOFOLLOW) != 0) return true;
  const struct stat &was = f.st;
  return now.st_dev != was.st_dev || now.st_ino != was.st_ino || now.st_mode != was.st_mode ||
         now.st_uid != was.st_uid || now.st_gid != was.st_gid;
}

// Puts text in place of the found file, through tmp beside it, with the
// file's owner, group, mode and extended attributes, once it reads back
// and verifies and the file is still the one read. *stored says the
// rename took place.
const char *replace(found &f, const char *tmp, const text_buf &text, fd_guard &in,
                    const text_buf &old, const dictionary *before, const char *want,
                    bool *stored, char (&msg)[kWhySize]) {
  fd_guard dir(openat(f.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return errno_text();
  fd_guard out(openat(f.dir.fd, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.fd < 0) return errno_text();
  tmp_guard cleanup{f.dir.fd, tmp};
  // A new file may take its group from a setgid folder or a grpid mount:
  // what it was given, not who this process is, says what to change. A
  // step that is not needed is not taken: some file systems refuse it.
  struct stat made;
  if (stat_fd(out.fd, &made) != 0) return errno_text();
  bool chown_it = made.st_uid != f.st.st_uid || made.st_gid != f.st.st_gid;
  if (chown_it && fchown(out.fd, f.st.st_uid, f.st.st_gid) != 0) return errno_text();
  if ((chown_it || (made.st_mode & 07777) != (f.st.st_mode & 07777)) &&
      fchmod(out.fd, f.st.st_mode & 07777) != 0)
    return errno_text();
  if (const char *bad = carry_xattrs(in.fd, out.fd, msg)) return bad;
  if (write_all(out.fd, text) != 0 || fsync(out.fd) != 0) return errno_text();
  // A text that does not verify may have been read from a file that
  // changed between the store's own two reads of it: then look again.
  if (const char *bad = verify(f, tmp, out.fd, text, before, want))
    return bad == kNoVerify && changed(f, in.fd, old) ? kChanged : bad;
  if (changed(f, in.fd, old)) return kChanged;
  // Nothing of this process may hold the file open as it is replaced: an
  // NFS client would first rename it away (a silly rename), and another
  // client would find no file in between. A file mounted over the name
  // can't be replaced; only a bind mount from its own file system gets
  // this far.
  in.reset(-1);
  f.obj.reset(-1);
  if (renameat(f.dir.fd, tmp, f.dir.fd, f.name) != 0)
    return errno == EBUSY ? kMountPoint : errno_text();
  cleanup.name = nullptr;
  *stored = true;
  // The new text is in place; without this it may not survive a power cut.
  if (fsync(dir.fd) != 0) return errno_text();
  return nullptr;
}

// Reads the found file, open at in, whole; kChanged when it has grown
// since it was found.
const char *read_found(const found &f, int in, text_buf *old) {
  auto size = static_cast<size_t>(f.st.st_size);
  if (read_upto(in, size, old) != 0) return errno_text();
  return old->len > size ? kChanged : nullptr;
}

bool same(const text_buf &a, const text_buf &b) {
  return a.len == b.len && memcmp(a.data, b.data, a.len) == 0;
}

bool reads(const dictionary *d, const char *want) {
  const char *now = entry_text(d, "sys:type1");
  return now && strcmp(now, want) == 0;
}

// One store of the regular file found under the lock; kChanged when
// another process changed it meanwhile, and the store may start again.
const char *store_found(found &f, const char *want, bool *stored, char (&msg)[kWhySize]) {
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
  fd_guard in(debug_open_found(f, &why));
  if (in.fd < 0) return why;
  text_buf old;
  if ((why = read_found(f, in.fd, &old))) return why;
  why = "file does not load";
  dict_guard before(debug_load(f.dir.fd, f.name, in.fd, f.name, &why));
  if (!before.d) return why;

  // The editor reads lines as iniparser 4.1 does; where the iniparser that
  // runs here reads them otherwise, a [sys] block of its own at the end is
  // read alike by every release. Only iniparser's reading decides.
  // The block is also the way out where the line, edited, would be longer
  // than iniparser takes.
  for (int append_block = 0; append_block < 2; ++append_block) {
    text_buf text;
    if (ini_set_entry(old.data, old.len, "sys", "Type1", want, append_block != 0, &text, &why) != 0) {
      if (append_block) return why;
      continue;
    }
    if (same(text, old)) {
      if (reads(before.d, want)) return nullptr;
      continue;
    }
    why = replace(f, tmp, text, in, old, before.d, want, stored, msg);
    if (why != kNoVerify) return why;
  }
  return kNoVerify;
}

// The file as it stands once this writer's turn has come, since a writer
// before it may have replaced it, on this machine or, over NFS, another:
// what NFS knows of the folder and of the file is fetched afresh, so a
// name it cached from before does not lead to the file replaced. That is
// what the name in the folder now names, if it is still a regular file of
// the same owner; else kChanged, and the store starts again from the path.
const char *refresh(found *f) {
  debug_revalidate(f->dir.fd);
  fd_guard now(openat(f->dir.fd, f->name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (now.fd >= 0) debug_revalidate(now.fd);
  if (now.fd < 0 || stat_fd(now.fd, &st) != 0) return errno == ESTALE ? kStale : kChanged;
  if (!S_ISREG(st.st_mode) || st.st_uid != f->st.st_uid) return kChanged;
  f->obj.reset(now.release());
  f->st = st;
  return nullptr;
}

// True when a file is mounted over the name, which Linux 5.8 and later
// tell; elsewhere the rename is refused as busy, which says the same.
// st_dev can't tell it: an overlay gives its files the device of the layer
// they come from.
bool mount_point(int fd) {
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx x;
  return syscall(SYS_statx, fd, "", AT_EMPTY_PATH, 0, &x) == 0 &&
         (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#else
  (void)fd;
  return false;
#endif
}

// True when the object open at fd is immutable or append-only (chattr +i,
// +a), which forbids replacing the file; a file system without such flags
// has none.
bool frozen(int fd) {
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
         (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

// What is found out before a turn is taken. *done when the line editor
// would leave the file as it is and iniparser already reads want from it
// (looked at only where may_hold): nothing is stored, and nothing made, on
// a read-only file system too. Else why no store can be made: a file
// mounted over the name, or flags that forbid replacing the file.
const char *before_turn(const found &f, const char *want, bool may_hold, bool *done) {
  const char *why = nullptr;
  fd_guard in(debug_open_found(f, &why));
  if (in.fd < 0) return why;
  text_buf old;
  text_buf text;
  if (may_hold && !read_found(f, in.fd, &old) &&
      ini_set_entry(old.data, old.len, "sys", "Type1", want, false, &text, &why) == 0 &&
      same(text, old)) {
    dict_guard now(debug_load(f.dir.fd, f.name, in.fd, f.name, &why));
    if ((*done = reads(now.d, want))) return nullptr;
  }
  if (mount_point(f.obj.fd)) return kMountPoint;
  fd_guard dir(openat(f.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (frozen(in.fd)) return kFileFrozen;
  if (frozen(dir.fd)) return kFolderFrozen;
  return nullptr;
}

// One try of the store, from the path.
const char *store_once(const char *path, const char *want, bool may_hold, time_t until,
                       bool *stored, char (&msg)[kWhySize]) {
  found file;
  fd_guard lock;
  bool done = false;
  const char *why = nullptr;
  if ((why = debug_walk(path, &file))) return why;
  if (!S_ISREG(file.st.st_mode)) return kNotRegular;
  if ((why = before_turn(file, want, may_hold, &done)) || done) return why;
  // A writer waiting for its turn holds nothing of the file open, which
  // would make the rename of the writer in its turn a silly rename on NFS.
  file.obj.reset(-1);
  if ((why = debug_take_turn(file, until, &lock, msg, sizeof msg))) return why;
  if ((why = refresh(&file))) return why;
  return store_found(file, want, stored, msg);
}

const char *store(const char *path, const char *want, bool may_hold, bool *stored,
                  char (&msg)[kWhySize]) {
  quiet_iniparser quiet;
  // A file-size limit from now on fails a write with EFBIG, which is told.
  signal(SIGXFSZ, SIG_IGN);
  // Writers of a file take turns on the lock file beside it. The file it
  // leads to, through however many links, is read and replaced; the links
  // stay as they are. A file another process changed is stored again from
  // the path, a few times; one whose handles went stale (another NFS
  // client replaced it) until the deadline, which the turn keeps too.
  const time_t until = debug_deadline(kPatienceSeconds);
  const char *why = nullptr;
  int tries = 0;
  do {
    why = store_once(path, want, may_hold, until, stored, msg);
  } while ((why == kChanged && ++tries < kTries) || (why == kStale && !debug_past(until)));
  return why == kStale ? kChanged : why;
}

}  // namespace

int debug_store_type1(const char *path, int8_t type1, bool may_hold, const char **why,
                      char (&msg)[kWhySize]) {
  char want[8];
  snprintf(want, sizeof want, "%d", type1);
  bool stored = false;
  const char *failed = store(path, want, may_hold, &stored, msg);
  if (!failed) return 0;
  *why = failed;
  return stored ? 1 : -1;
}

}  // namespace debugcfg
