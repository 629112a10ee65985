#include "new_file.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "load.h"

namespace debugcfg {

namespace {

// The fault of the system call that just failed on the new file, which
// names it.
fault at_new_file(const new_file &n, char (&detail)[kDetailSize]) {
  fault why = from_errno();
  if (is_stale(why)) return why;
  name_in(detail, n.old->where, n.name);
  why.at = site::new_file;
  return why;
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
  constexpr size_t kMost = 65536;  // the kernel's bound on a list
  names->data = static_cast<char *>(malloc(kMost));
  ssize_t n = names->data ? syscall(SYS_flistxattr, fd, names->data, kMost) : -1;
  names->len = n > 0 ? static_cast<size_t>(n) : 0;
  return n >= 0 || errno == ENOTSUP ? 0 : -1;
}

// True for the attributes that grant access: a POSIX ACL, NFS's ACL.
bool grants(const char *name) {
  const char *prefix = "system.";
  while (*prefix && *prefix == *name) ++prefix, ++name;
  return !*prefix;
}

// Gives the new file open at out the extended attributes of the old one
// open at in: those that grant access where `granting`, the others where
// not. Granting, it first removes an ACL that the folder's default ACL
// gave the new file. One the new file already has alike is left as it is:
// NFS shows its files' modes as an ACL that it may not take back. Returns
// why not, with the attribute's name in detail.
fault carry_xattrs(int in, int out, bool granting, char (&detail)[kDetailSize]) {
  text_buf names;
  text_buf value;
  if (list_xattrs(in, &names) != 0) return from_errno();
  const char *name = "system.posix_acl_access";
  bool ok = !granting || syscall(SYS_fremovexattr, out, name) == 0 || errno == ENODATA ||
            errno == ENOTSUP;
  constexpr size_t kMost = 65536;  // the kernel's bound on a value
  if (names.len) value.data = static_cast<char *>(malloc(2 * kMost));
  for (size_t i = 0; ok && i < names.len; i += strlen(name) + 1) {
    name = names.data + i;
    if (grants(name) != granting) continue;
    char *now = value.data + kMost;
    ssize_t n = value.data ? syscall(SYS_fgetxattr, in, name, value.data, kMost) : -1;
    ok = n >= 0 && ((syscall(SYS_fgetxattr, out, name, now, kMost) == n &&
                     memcmp(now, value.data, static_cast<size_t>(n)) == 0) ||
                    syscall(SYS_fsetxattr, out, name, value.data, n, 0) == 0);
  }
  if (ok) return {};
  fault why = from_errno();
  if (is_stale(why)) return why;
  snprintf(detail, sizeof detail, "%s", name);
  return {reason::xattr, site::file, why.err};
}

// Gives the new file the old one's mode, once its ACL is in place.
int give_mode(int fd, const struct stat &old) {
  struct stat now;
  if (stat_fd(fd, &now) != 0) return -1;
  if ((now.st_mode & 07777) == (old.st_mode & 07777)) return 0;
  return static_cast<int>(syscall(SYS_fchmod, fd, old.st_mode & 07777));
}

}  // namespace

new_file::~new_file() {
  if (fd.fd >= 0 && !committed) syscall(SYS_unlinkat, old->dir.fd, name, 0);
}

fault new_file_make(new_file *n, const found &old, int in, char (&detail)[kDetailSize]) {
  n->old = &old;
  snprintf(n->name, sizeof n->name, ".%s.tmp", old.name);
  syscall(SYS_unlinkat, old.dir.fd, n->name, 0);
  n->fd.reset(openat(old.dir.fd, n->name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (n->fd.fd < 0 || give_owner(n->fd.fd, old.st, old.st.st_mode & 0600) != 0) return at_new_file(*n, detail);
  return carry_xattrs(in, n->fd.fd, false, detail);
}

fault new_file_write(new_file *n, const text_buf &text, char (&detail)[kDetailSize]) {
  if (write_all(n->fd.fd, text) != 0) return at_new_file(*n, detail);
  int back = reads_back(n->fd.fd, text);
  if (back < 0) return at_new_file(*n, detail);
  return back ? fault{reason::not_read_back} : fault{};
}

fault new_file_open(new_file *n, int in, char (&detail)[kDetailSize]) {
  fault why = carry_xattrs(in, n->fd.fd, true, detail);
  if (failed(why)) return why;
  if (give_mode(n->fd.fd, n->old->st) != 0 || syscall(SYS_fsync, n->fd.fd) != 0)
    return at_new_file(*n, detail);
  return {};
}

fault new_file_commit(new_file *n, bool *placed) {
  const found &old = *n->old;
  fd_guard dir(openat(old.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return from_errno();
  // A file mounted over the name can't be replaced; only a bind mount from
  // its own file system gets this far.
  if (renameat(old.dir.fd, n->name, old.dir.fd, old.name) != 0)
    return errno == EBUSY ? fault{reason::mount_point} : from_errno();
  n->committed = *placed = true;
  // The new text is in place; without this it may not survive a power cut.
  if (syscall(SYS_fsync, dir.fd) != 0) return from_errno();
  return {};
}

}  // namespace debugcfg
