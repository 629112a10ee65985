#include "view.h"

#include <errno.h>
#include <stdio.h>

#include <utility>

namespace debugcfg {

namespace {

// NOLINTNEXTLINE(cert-dcl50-cpp): iniparser's callback is printf-shaped.
int say_nothing(const char * /*format*/, ...) { return 0; }

// The names of the extended attributes of the file open at fd, in *names;
// a file system that has none has none here.
int list_attrs(int fd, text_buf *names) {
  constexpr size_t kMost = 65536;  // the kernel's bound on a list
  free(names->data);
  names->data = static_cast<char *>(malloc(kMost));
  ssize_t n = names->data ? syscall(SYS_flistxattr, fd, names->data, kMost) : -1;
  names->len = n > 0 ? static_cast<size_t>(n) : 0;
  return n >= 0 || errno == ENOTSUP ? 0 : -1;
}

// S1, S4: reads the file open at v->in whole for a store, watched
// (read_view).
// Whether another process is writing it is judged only by what the watch
// sees change, never by the file's times against the clock.
fault read_watched(view *v, patience *wait) {
  for (text_buf now;;) {
    int lease = debug_lease(v->in.fd);
    v->leased = lease > 0;
    struct stat st;
    if (stat_fd(v->in.fd, &st) != 0) return from_errno();
    auto size = static_cast<size_t>(st.st_size);
    if (read_upto(v->in.fd, size, &now) != 0) return from_errno();
    bool same = same_text(now, v->text);
    std::swap(now.data, v->text.data);
    std::swap(now.len, v->text.len);
    if (lease >= 0) return v->text.len > size ? fault{reason::changed} : fault{};
    if (!same || !v->watched) v->same_since = monotonic_ms(), v->watched = true;
    else if (monotonic_ms() - v->same_since >= kSettleSeconds * 1000U) return {};
    if (!wait->step()) return {reason::busy};
  }
}

}  // namespace

void quiet_iniparser(bool quiet) { iniparser_set_error_callback(quiet ? say_nothing : nullptr); }

#if DEBUG_INIPARSER_LOAD_FILE
dictionary *debug_load(int fd, int /*dir*/, const char * /*name*/, bool /*by_name*/,
                       const char *shown, fault *why) {
  // The stream starts at offset 0, which no read of the tool's moves.
  fd_guard own(dup(fd));
  FILE *in = own.fd >= 0 ? fdopen(own.fd, "r") : nullptr;
  if (!in) return nullptr;
  own.release();  // the stream's now
  dictionary *d = iniparser_load_file(in, shown);
  // iniparser takes a read that fails for the end of the file: what it
  // read is not the file.
  if (ferror(in)) {
    *why = from_errno();
    iniparser_freedict(d);
    d = nullptr;
  }
  fclose(in);
  return d;
}
#else
dictionary *debug_load(int fd, int dir, const char *name, bool by_name, const char * /*shown*/,
                       fault *why) {
  char proc[32];
  proc_name(fd, proc);
  struct stat st;
  const char *by = proc;
  if (fstatat(AT_FDCWD, proc, &st, 0) != 0) {
    if (errno != ENOENT) {
      *why = from_errno();
      return nullptr;
    }
    if (!by_name || !debug_only_root_and(dir, geteuid()) || syscall(SYS_fchdir, dir) != 0) {
      *why = {reason::no_proc};
      return nullptr;
    }
    by = name;
  }
  // iniparser opens the file itself, which this process holds open: no
  // lease can be taken on it meanwhile. A handle gone stale, or a name that
  // NFS found taken away, is seen in errno.
  errno = 0;
  dictionary *d = iniparser_load(by);
  if (!d && (errno == ESTALE || errno == ENOENT)) *why = with_errno(ESTALE);
  return d;
}
#endif

fault read_view(view *v, bool for_store, const char *shown, patience *wait) {
  const found &f = v->f;
  fault why;
  // F5. No lease of this process's is held while it waits to open the file.
  v->in.reset(-1);
  v->in.reset(debug_reopen(f.dir.fd, f.name, f.obj.fd, O_RDONLY, wait, &why));
  if (v->in.fd < 0) return why;
  if (for_store && (failed(why = read_watched(v, wait)) || list_attrs(v->in.fd, &v->attrs) != 0))
    return failed(why) ? why : from_errno();
  v->dict.reset(debug_load(v->in.fd, f.dir.fd, f.name, true, shown, &why));
  return why;
}

int debug_find_and_read(const char *path, bool for_store, patience *wait, view *v, fault *why) {
  // F6: another NFS client replacing the file leaves this one's handles
  // stale: a reason to look again from the path, not a failure; so is a
  // file that grew as it was read, for a store. No lease is held while it
  // waits.
  do {
    *why = debug_walk(path, &v->f);
    if (failed(*why)) continue;
    if (!S_ISREG(v->f.st.st_mode)) {  // F4
      *why = {reason::not_regular};
      return 0;
    }
    // One that can't be read reads as one that does not load.
    *why = read_view(v, for_store, path, wait);
    if (why->why == reason::system && !is_stale(*why)) *why = {};
    if (!failed(*why)) return 0;
    v->in.reset(-1);
  } while ((is_stale(*why) || why->why == reason::changed) && wait->step());
  return -1;
}

}  // namespace debugcfg
