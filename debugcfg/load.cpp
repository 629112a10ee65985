#include "load.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <utility>

#include "record.h"

namespace debugcfg {

namespace {

// NOLINTNEXTLINE(cert-dcl50-cpp): iniparser's callback is printf-shaped.
int say_nothing(const char * /*format*/, ...) { return 0; }

// One look: as debug_load_file, which looks again where it says so.
int load_once(const char *path, bool for_store, patience *wait, view *v, fault *why) {
  fault walked = debug_walk(path, &v->f);
  if (failed(walked)) {
    if (walked.why == reason::unsafe_path || is_stale(walked)) *why = walked;
    return -1;
  }
  if (!S_ISREG(v->f.st.st_mode)) {
    *why = {reason::not_regular};
    return 0;
  }
  fault failure = read_view(v, for_store, path, wait);
  if (failure.why == reason::none || (failure.why == reason::system && !is_stale(failure)))
    return 0;
  *why = failure;
  return -1;
}

bool look_again(fault f) { return is_stale(f) || f.why == reason::changed; }

// Reads the file open at v->in whole for a store, watched (read_view).
// Whether another process is writing it is judged only by what the watch
// sees change, never by the file's times against the clock: a device's
// clock may stand at 1970 or be stepped either way.
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

quiet_iniparser::quiet_iniparser() { iniparser_set_error_callback(say_nothing); }
quiet_iniparser::~quiet_iniparser() { iniparser_set_error_callback(nullptr); }

#if DEBUG_INIPARSER_LOAD_FILE
dictionary *debug_load(int fd, int /*dir*/, const char * /*name*/, bool /*by_name*/,
                       const char *shown, fault *why) {
  // The stream starts at offset 0, which no read of the tool's moves.
  int own = dup(fd);
  FILE *in = own >= 0 ? fdopen(own, "r") : nullptr;
  if (!in) {
    if (own >= 0) close(own);
    return nullptr;
  }
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

int read_upto(int fd, size_t limit, text_buf *buf) {
  free(buf->data);
  buf->data = static_cast<char *>(malloc(limit + 1));
  buf->len = 0;
  if (!buf->data) return -1;
  for (ssize_t got = 1; got > 0 && buf->len <= limit; buf->len += static_cast<size_t>(got)) {
    got = pread(fd, buf->data + buf->len, limit + 1 - buf->len, static_cast<off_t>(buf->len));
    if (got < 0) return -1;
  }
  return 0;
}

int reads_back(int fd, const text_buf &text) {
  text_buf back;
  if (read_upto(fd, text.len, &back) != 0) return -1;
  return same_text(back, text) ? 0 : 1;
}

fault read_view(view *v, bool for_store, const char *shown, patience *wait) {
  const found &f = v->f;
  fault why;
  // No lease of this process's is held while it waits to open the file.
  v->in.reset(-1);
  v->in.reset(debug_reopen(f.dir.fd, f.name, f.obj.fd, O_RDONLY, true, wait, &why));
  if (v->in.fd < 0) return why;
  if (for_store && failed(why = read_watched(v, wait))) return why;
  v->dict.reset(debug_load(v->in.fd, f.dir.fd, f.name, true, shown, &why));
  const char *read = for_store ? entry_text(v->dict.d, kType1) : nullptr;
  size_t n = read ? strlen(read) : 0;
  if (n >= sizeof v->type1) n = 0;
  if (n) memcpy(v->type1, read, n);
  v->type1[n] = '\0';
  return why;
}

int debug_load_file(const char *path, bool for_store, patience *wait, view *v, fault *why) {
  // Another NFS client replacing the file leaves this one's handles stale:
  // a reason to look again from the path, not a failure; so is a file that
  // grew as it was read, for a store.
  int rc = 0;
  while ((rc = load_once(path, for_store, wait, v, why)) != 0 && look_again(*why)) {
    v->in.reset(-1);  // nor while it waits to look again
    if (!wait->step()) break;
    *why = {};
  }
  return rc;
}

}  // namespace debugcfg
