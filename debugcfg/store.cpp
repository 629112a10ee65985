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
    if (!iniparser_find_entry(before, key)) {
      if (strcmp(key, section) == 0 && !val) continue;
      return false;
    }
    const char *old = iniparser_getstring(before, key, nullptr);
    if (!old != !val || (old && strcmp(old, val) != 0)) return false;
    ++kept;
  }
  // Keys are unique, so as many as `before` holds besides `changed` means
  // every one of them is there.
  return saw && kept + iniparser_find_entry(before, changed) == static_cast<long>(before->n);
}

// Why the file open at fd does not hold exactly text, or none.
fault reads_back(int fd, const text_buf &text) {
  text_buf back;
  if (read_upto(fd, text.len, &back) != 0) return from_errno();
  if (back.len != text.len || memcmp(back.data, text.data, text.len) != 0)
    return {reason::not_read_back};
  return {};
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
// as an ACL that it may not take back. Returns why not, with the
// attribute's name in detail.
fault carry_xattrs(int in, int out, char (&detail)[kDetailSize]) {
  text_buf names;
  text_buf value;
  if (list_xattrs(in, &names) != 0) return from_errno();
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
  if (ok) return {};
  fault why = from_errno();
  if (is_stale(why)) return why;
  snprintf(detail, sizeof detail, "%s", name);
  return {reason::xattr, false, why.err};
}

// Reads the written file back: its bytes must be the new text, and
// iniparser must take from it the old entries with only sys:type1 changed.
fault verify(const found &f, const char *tmp, int fd, const text_buf &text,
             const dictionary *before, const char *want) {
  fault why = reads_back(fd, text);
  if (failed(why)) return why;
  why = {reason::new_no_load};
  dict_guard after(debug_load(f.dir.fd, tmp, fd, tmp, &why));
  if (!after.d) return why;
  if (!same_but(before, after.d, "sys:type1", want, "sys")) return {reason::no_verify};
  return {};
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
  if (failed(reads_back(in, old))) return true;
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
fault replace(found &f, const char *tmp, const text_buf &text, fd_guard &in,
              const text_buf &old, const dictionary *before, const char *want,
              bool *stored, char (&detail)[kDetailSize]) {
  fd_guard dir(openat(f.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return from_errno();
  fd_guard out(openat(f.dir.fd, tmp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.fd < 0) return from_errno();
  tmp_guard cleanup{f.dir.fd, tmp};
  // A new file may take its group from a setgid folder or a grpid mount:
  // what it was given, not who this process is, says what to change. A
  // step that is not needed is not taken: some file systems refuse it.
  struct stat made;
  if (stat_fd(out.fd, &made) != 0) return from_errno();
  bool chown_it = made.st_uid != f.st.st_uid || made.st_gid != f.st.st_gid;
  if (chown_it && fchown(out.fd, f.st.st_uid, f.st.st_gid) != 0) return from_errno();
  if ((chown_it || (made.st_mode & 07777) != (f.st.st_mode & 07777)) &&
      fchmod(out.fd, f.st.st_mode & 07777) != 0)
    return from_errno();
  fault why = carry_xattrs(in.fd, out.fd, detail);
  if (failed(why)) return why;
  if (write_all(out.fd, text) != 0 || fsync(out.fd) != 0) return from_errno();
  // A text that does not verify may have been read from a file that
  // changed between the store's own two reads of it: then look again.
  why = verify(f, tmp, out.fd, text, before, want);
  if (why.why == reason::no_verify && changed(f, in.fd, old)) return {reason::changed};
  if (failed(why)) return why;
  if (changed(f, in.fd, old)) return {reason::changed};
  // Nothing of this process may hold the file open as it is replaced: an
  // NFS client would first rename it away (a silly rename), and another
  // client would find no file in between. A file mounted over the name
  // can't be replaced; only a bind mount from its own file system gets
  // this far.
  in.reset(-1);
  f.obj.reset(-1);
  if (renameat(f.dir.fd, tmp, f.dir.fd, f.name) != 0)
    return errno == EBUSY ? fault{reason::mount_point} : from_errno();
  cleanup.name = nullptr;
  *stored = true;
  // The new text is in place; without this it may not survive a power cut.
  if (fsync(dir.fd) != 0) return from_errno();
  return {};
}

// Reads the found file, open at in, whole; reason::changed when it has
// grown since it was found.
fault read_found(const found &f, int in, text_buf *old) {
  auto size = static_cast<size_t>(f.st.st_size);
  if (read_upto(in, size, old) != 0) return from_errno();
  return old->len > size ? fault{reason::changed} : fault{};
}

bool same(const text_buf &a, const text_buf &b) {
  return a.len == b.len && memcmp(a.data, b.data, a.len) == 0;
}

bool reads(const dictionary *d, const char *want) {
  const char *now = entry_text(d, "sys:type1");
  return now && strcmp(now, want) == 0;
}

// One store of the regular file found under the lock; reason::changed
// when another process changed it meanwhile, and the store may start
// again.
fault store_found(found &f, const char *want, bool *stored, char (&detail)[kDetailSize]) {
  char tmp[NAME_MAX + 8];
  snprintf(tmp, sizeof tmp, ".%s.tmp", f.name);
  // Holding the lock, a temporary file of the file's owner, or of this
  // account before it could hand it over, is one an interrupted store
  // left; nothing else is removed.
  struct stat left;
  if (fstatat(f.dir.fd, tmp, &left, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(left.st_mode) &&
      (left.st_uid == f.st.st_uid || left.st_uid == geteuid()))
    unlinkat(f.dir.fd, tmp, 0);

  fault why;
  fd_guard in(debug_open_found(f, &why));
  if (in.fd < 0) return why;
  text_buf old;
  why = read_found(f, in.fd, &old);
  if (failed(why)) return why;
  why = {reason::no_load};
  dict_guard before(debug_load(f.dir.fd, f.name, in.fd, f.name, &why));
  if (!before.d) return why;

  // The editor reads lines as iniparser 4.1 does; where the iniparser that
  // runs here reads them otherwise, a [sys] block of its own at the end is
  // read alike by every release. Only iniparser's reading decides.
  // The block is also the way out where the line, edited, would be longer
  // than iniparser takes.
  for (int append_block = 0; append_block < 2; ++append_block) {
    text_buf text;
    reason edit = ini_set_entry(old.data, old.len, "sys", "Type1", want, append_block != 0, &text);
    if (edit != reason::none) {
      if (append_block) return {edit};
      continue;
    }
    if (same(text, old)) {
      if (reads(before.d, want)) return {};
      continue;
    }
    why = replace(f, tmp, text, in, old, before.d, want, stored, detail);
    if (why.why != reason::no_verify) return why;
  }
  return {reason::no_verify};
}

// The file as it stands once this writer's turn has come, since a writer
// before it may have replaced it, on this machine or, over NFS, another:
// what NFS knows of the folder and of the file is fetched afresh, so a
// name it cached from before does not lead to the file replaced. That is
// what the name in the folder now names, if it is still a regular file of
// the same owner; else reason::changed, and the store starts again from
// the path.
fault refresh(found *f) {
  debug_revalidate(f->dir.fd);
  fd_guard now(openat(f->dir.fd, f->name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (now.fd >= 0) debug_revalidate(now.fd);
  if (now.fd < 0 || stat_fd(now.fd, &st) != 0)
    return errno == ESTALE ? with_errno(ESTALE) : fault{reason::changed};
  if (!S_ISREG(st.st_mode) || st.st_uid != f->st.st_uid) return {reason::changed};
  f->obj.reset(now.release());
  f->st = st;
  return {};
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
fault before_turn(const found &f, const char *want, bool may_hold, bool *done) {
  fault why;
  fd_guard in(debug_open_found(f, &why));
  if (in.fd < 0) return why;
  text_buf old;
  text_buf text;
  if (may_hold && !failed(read_found(f, in.fd, &old)) &&
      ini_set_entry(old.data, old.len, "sys", "Type1", want, false, &text) == reason::none &&
      same(text, old)) {
    dict_guard now(debug_load(f.dir.fd, f.name, in.fd, f.name, &why));
    if ((*done = reads(now.d, want))) return {};
  }
  if (mount_point(f.obj.fd)) return {reason::mount_point};
  fd_guard dir(openat(f.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (frozen(in.fd)) return {reason::file_frozen};
  if (frozen(dir.fd)) return {reason::folder_frozen};
  return {};
}

// One try of the store, from the path.
fault store_once(const char *path, const char *want, bool may_hold, time_t until,
                 bool *stored, char (&detail)[kDetailSize]) {
  found file;
  fd_guard lock;
  bool done = false;
  fault why = debug_walk(path, &file);
  if (failed(why)) return why;
  if (!S_ISREG(file.st.st_mode)) return {reason::not_regular};
  why = before_turn(file, want, may_hold, &done);
  if (failed(why) || done) return why;
  // A writer waiting for its turn holds nothing of the file open, which
  // would make the rename of the writer in its turn a silly rename on NFS.
  file.obj.reset(-1);
  why = debug_take_turn(file, until, &lock, detail);
  if (failed(why)) return why;
  why = refresh(&file);
  if (failed(why)) return why;
  return store_found(file, want, stored, detail);
}

fault store(const char *path, const char *want, bool may_hold, bool *stored,
            char (&detail)[kDetailSize]) {
  quiet_iniparser quiet;
  // A file-size limit from now on fails a write with EFBIG, which is told.
  signal(SIGXFSZ, SIG_IGN);
  // Writers of a file take turns on the lock file beside it. The file it
  // leads to, through however many links, is read and replaced; the links
  // stay as they are. A file another process changed is stored again from
  // the path, a few times; one whose handles went stale (another NFS
  // client replaced it) until the deadline, which the turn keeps too.
  const time_t until = debug_deadline(kPatienceSeconds);
  fault why;
  int tries = 0;
  do {
    why = store_once(path, want, may_hold, until, stored, detail);
  } while ((why.why == reason::changed && ++tries < kTries) ||
           (is_stale(why) && !debug_past(until)));
  return is_stale(why) ? fault{reason::changed} : why;
}

}  // namespace

int debug_store_type1(const char *path, int8_t type1, bool may_hold, fault *why,
                      char (&detail)[kDetailSize]) {
  char want[8];
  snprintf(want, sizeof want, "%d", type1);
  bool stored = false;
  *why = store(path, want, may_hold, &stored, detail);
  if (!failed(*why)) return 0;
  return stored ? 1 : -1;
}

}  // namespace debugcfg
