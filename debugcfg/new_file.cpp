#include "new_file.h"

#include <assert.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "debug_config.h"

namespace debugcfg {

namespace {

// The fault of the system call that just failed on the new file, which
// its message names.
fault at_new_file(const new_file &n) {
  int err = errno;
  return err == ESTALE ? with_errno(err) : fault{reason::new_file, err, n.old->f.path};
}

// Gives the new file open at out the extended attributes of the old one,
// as read: those that grant access where `granting`, the others where not.
// Granting, it first removes an ACL that the folder's default ACL gave the
// new file. One the new file already has alike is left as it is: NFS shows
// its files' modes as an ACL that it may not take back. Returns why not,
// naming the attribute.
fault carry_xattrs(const view &old, int out, bool granting) {
  const char *name = "system.posix_acl_access";
  bool ok = !granting || syscall(SYS_fremovexattr, out, name) == 0 || errno == ENODATA ||
            errno == ENOTSUP;
  constexpr size_t kMost = 65536;  // the kernel's bound on a value
  text_buf value;
  if (old.attrs.len) value.data = static_cast<char *>(malloc(2 * kMost));
  for (size_t i = 0; ok && i < old.attrs.len; i += strlen(name) + 1) {
    name = old.attrs.data + i;
    // Those that grant access: a POSIX ACL, NFS's ACL.
    const char *p = "system.";
    for (const char *q = name; *p && *p == *q; ++q) ++p;
    if (!*p != granting) continue;
    char *now = value.data + kMost;
    ssize_t n = value.data ? syscall(SYS_fgetxattr, old.in.fd, name, value.data, kMost) : -1;
    ok = n >= 0 && ((syscall(SYS_fgetxattr, out, name, now, kMost) == n &&
                     memcmp(now, value.data, static_cast<size_t>(n)) == 0) ||
                    syscall(SYS_fsetxattr, out, name, value.data, n, 0) == 0);
  }
  if (ok) return {};
  int err = errno;
  return err == ESTALE ? with_errno(err) : fault{reason::xattr, err, name};
}

}  // namespace

new_file::~new_file() {
  if (fd.fd >= 0 && !committed) syscall(SYS_unlinkat, old->f.dir.fd, name, 0);
}

fault new_file_make(new_file *n, const view &old) {
  const found &f = old.f;
  n->old = &old;
  snprintf(n->name, sizeof n->name, ".%s" DEBUG_NEW_SUFFIX, f.name);
  syscall(SYS_unlinkat, f.dir.fd, n->name, 0);
  n->fd.reset(openat(f.dir.fd, n->name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (n->fd.fd < 0 || give_owner(n->fd.fd, f.st, f.st.st_mode & 0600) != 0) return at_new_file(*n);
  return carry_xattrs(old, n->fd.fd, false);
}

fault new_file_write(new_file *n, const text_buf &text) {
  // Whole, from offset 0, in as many calls as it takes, so a write cut
  // short says why on the next call: a full disk, a size limit.
  for (size_t done = 0; done < text.len;) {
    ssize_t put = pwrite(n->fd.fd, text.data + done, text.len - done, static_cast<off_t>(done));
    if (put == 0) errno = ENOSPC;
    if (put <= 0) return at_new_file(*n);
    done += static_cast<size_t>(put);
  }
  int back = reads_back(n->fd.fd, text);
  if (back < 0) return at_new_file(*n);
  return back ? fault{reason::not_read_back} : fault{};
}

fault new_file_grant(new_file *n) {
  fault why = carry_xattrs(*n->old, n->fd.fd, true);
  if (failed(why)) return why;
  // The old file's mode, once its ACL is in place.
  struct stat now;
  mode_t mode = n->old->f.st.st_mode & 07777;
  if (stat_fd(n->fd.fd, &now) != 0 || ((now.st_mode & 07777) != mode && syscall(SYS_fchmod, n->fd.fd, mode) != 0) ||
      syscall(SYS_fsync, n->fd.fd) != 0)
    return at_new_file(*n);
  return {};
}

fault new_file_commit(new_file *n, bool *placed) {
  assert(n->old && n->fd.fd >= 0);
  if (!n->old || n->fd.fd < 0) return with_errno(EBADF);
  const found &old = n->old->f;
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
