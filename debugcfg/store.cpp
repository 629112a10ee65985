// The store, step by step, as docs/design.md numbers them:
//  1. Find the file and read it, watched: the command's own read serves the
//     first try, and the path is followed again for every other.
//  2. Before the turn: nothing is stored where the file already holds the
//     value; nothing can be where a file is mounted over the name, or the
//     file or its folder is immutable or append-only.
//  3. Take the writers' turn on the lock file beside the file.
//  4. Take the file again by its name, as a writer before may have
//     replaced it, and read it, watched.
//  5. Nothing is stored where it now holds the value.
//  6. Edit its text: in place, else in a [sys] block of its own.
//  7. Make the new file beside it, closed; write it, read it back, see
//     that iniparser reads from it what it should; open it to what the old
//     file grants.
//  8. Look once more: the file is still the one read, and no one opened it
//     for writing meanwhile. Rename the new file over it; sync the folder.
// A file another process changed starts the store again at step 1, a few
// times; one another process is writing, or whose handles went stale,
// until the deadline. Once the new file is in place, nothing starts again.
#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "ini_edit.h"
#include "lock.h"
#include "new_file.h"
#include "record.h"

namespace debugcfg {

namespace {

constexpr int kTries = 3;
constexpr size_t kKeyRoom = 64;  // more than any entry of the tool's

// True when the file, as v read it, already holds want: iniparser read
// want, and the line editor would change no byte.
DEBUG_INLINE bool holds(const view &v, const char *want) {
  text_buf edited;
  return strcmp(v.type1, want) == 0 &&
         ini_set_entry(v.text.data, v.text.len, kType1, want, false, &edited) == reason::none &&
         same_text(edited, v.text);
}

// Step 2, on the file as v read it; *done where nothing is to be stored,
// which holds on a read-only file system too. A writer waiting for its
// turn holds nothing of the file open: on NFS, the rename of the writer in
// its turn would be a silly rename.
fault before_turn(view *v, const char *want, bool *done) {
  if ((*done = holds(*v, want))) return {};
  fd_guard dir(openat(v->f.dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  fault why;
  if (v->f.st.st_nlink > 1) why = {reason::file_links};
  else if (debug_mount_point(v->f.obj.fd)) why = {reason::mount_point};
  else if (debug_frozen(v->in.fd)) why = {reason::file_frozen};
  else if (debug_frozen(dir.fd)) why = {reason::folder_frozen};
  v->in.reset(-1);
  v->f.obj.reset(-1);
  return why;
}

// Step 4: what the name in the folder now names, as NFS has it afresh (a
// name it cached from before would lead to the file replaced), if it is
// still a regular file of the same owner; else reason::changed, and the
// store starts again from the path. One that has gained another name is
// not replaced: that name would keep the old text.
fault refresh(view *v, patience *wait) {
  found &f = v->f;
  debug_revalidate(f.dir.fd);
  fd_guard now(openat(f.dir.fd, f.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (now.fd >= 0) debug_revalidate(now.fd);
  if (now.fd < 0 || stat_fd(now.fd, &st) != 0)
    return errno == ESTALE ? with_errno(ESTALE) : fault{reason::changed};
  if (!S_ISREG(st.st_mode) || st.st_uid != f.st.st_uid) return {reason::changed};
  if (st.st_nlink > 1) return {reason::file_links};
  f.obj.reset(now.release());
  f.st = st;
  fault why = read_view(v, true, f.name, wait);
  return failed(why) || v->dict.d ? why : fault{reason::no_load};
}

// True when `after` holds every entry of `before` unchanged except the
// entry, which reads `want`; the entry's section may be new, as a bare
// header. iniparser keeps its keys in lower case, as the tool's section.
bool same_but(const dictionary *before, const dictionary *after, const char *entry,
              const char *want) {
  char key_of[kKeyRoom];
  size_t n = 0;
  for (; entry[n] && n + 1 < sizeof key_of; ++n)
    key_of[n] = entry[n] >= 'A' && entry[n] <= 'Z' ? static_cast<char>(entry[n] + 'a' - 'A') : entry[n];
  key_of[n] = '\0';
  bool saw = false;
  long kept = 0;  // entries of `after` found unchanged in `before`
  for (decltype(after->size) i = 0; i < after->size; ++i) {
    const char *key = after->key[i];
    const char *val = after->val[i];
    if (!key) continue;
    if (strcmp(key, key_of) == 0) {
      if (!val || strcmp(val, want) != 0) return false;
      saw = true;
      continue;
    }
    if (!iniparser_find_entry(before, key)) {
      if (strcmp(key, kSection) == 0 && !val) continue;
      return false;
    }
    const char *old = iniparser_getstring(before, key, nullptr);
    if (!old != !val || (old && strcmp(old, val) != 0)) return false;
    ++kept;
  }
  // Keys are unique, so as many as `before` holds besides the entry means
  // every one of them is there.
  return saw && kept + iniparser_find_entry(before, entry) == static_cast<long>(before->n);
}

// Part of step 7: iniparser must take from the new file the old entries
// with only sys:Type1 changed. iniparser 4.1 loads it only by a name.
fault verify(const new_file &n, const view &v, const char *want) {
  fault why = {reason::new_no_load};
  dict_guard after(debug_load(n.fd.fd, v.f.dir.fd, n.name, false, n.name, &why));
  if (!after.d) return why;
  return same_but(v.dict.d, after.d, kType1, want) ? fault{} : fault{reason::no_verify};
}

// Part of step 8: true when the file no longer is what was read: changed
// in place by a process that takes no turn, or replaced, or given another
// owner, mode or name. Its bytes are compared, not its size and times: they tell
// all those could, and also a change within one tick of a coarse clock,
// which leaves every time as it was. What NFS cached is fetched afresh
// first. The name is looked at last, and where the file is leased, whether
// any process opened it for writing since: nothing slow stands between
// that look and the rename.
bool changed(const view &v) {
  debug_revalidate(v.in.fd);
  if (reads_back(v.in.fd, v.text) != 0) return true;
  debug_revalidate(v.f.dir.fd);
  struct stat st;
  if (fstatat(v.f.dir.fd, v.f.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  const struct stat &was = v.f.st;
  return st.st_dev != was.st_dev || st.st_ino != was.st_ino || st.st_mode != was.st_mode ||
         st.st_uid != was.st_uid || st.st_gid != was.st_gid || st.st_nlink != was.st_nlink ||
         (v.leased && !debug_still_leased(v.in.fd));
}

// Steps 7 and 8 for one edited text. A text that does not verify may have
// been read from a file that changed between the store's own two reads of
// it: then the store looks again.
fault replace(view *v, const text_buf &text, const char *want, bool *stored,
              char (&detail)[kDetailSize]) {
  new_file n;
  fault why = new_file_make(&n, v->f, v->in.fd, detail);
  if (!failed(why)) why = new_file_write(&n, text, detail);
  if (!failed(why)) why = verify(n, *v, want);
  if (why.why == reason::no_verify && changed(*v)) return {reason::changed};
  if (!failed(why)) why = new_file_open(&n, v->in.fd, detail);
  if (failed(why)) return why;
  // One that opened it for writing meanwhile is watched as the store
  // starts again.
  if (changed(*v)) return {reason::changed};
  // Nothing of this process may hold the file open as it is replaced: an
  // NFS client would first rename it away (a silly rename), and another
  // client would find no file in between. A leased file, never on NFS,
  // stays open, its lease holding writers off until it is replaced.
  if (!v->leased) v->in.reset(-1);
  v->f.obj.reset(-1);
  return new_file_commit(&n, stored);
}

// Steps 3 to 8, on the file as step 1 found it.
fault store_once(view *v, const char *want, patience *wait, bool *stored,
                 char (&detail)[kDetailSize]) {
  fd_guard lock;
  fault why = debug_take_turn(v->f, wait, &lock, detail);
  if (!failed(why)) why = refresh(v, wait);
  if (failed(why) || holds(*v, want)) return why;
  // The editor reads lines as iniparser 4.1 does; where the iniparser that
  // runs here reads them otherwise, a [sys] block of its own at the end is
  // read alike by every release. Only iniparser's reading decides. The
  // block is also the way out where the line, edited, would be longer than
  // iniparser takes.
  for (bool own_block : {false, true}) {
    text_buf text;
    reason edit = ini_set_entry(v->text.data, v->text.len, kType1, want, own_block, &text);
    if (edit != reason::none && own_block) return {edit};
    if (edit != reason::none || same_text(text, v->text)) continue;
    why = replace(v, text, want, stored, detail);
    if (why.why != reason::no_verify) return why;
  }
  return {reason::no_verify};
}

// True when a store that did not take place may start again after a
// step: another process changed the file (a few times), or a handle went
// stale (until the deadline).
bool start_again(fault why, int *tries) {
  if (why.why == reason::changed) return ++*tries < kTries;
  return is_stale(why);
}

// Step 1, from the path: the file found and read for a store.
fault find(const char *path, view *v, patience *wait) {
  fault why = debug_walk(path, &v->f);
  if (failed(why)) return why;
  if (!S_ISREG(v->f.st.st_mode)) return {reason::not_regular};
  why = read_view(v, true, path, wait);
  return failed(why) || v->dict.d ? why : fault{reason::no_load};
}

fault store(const char *path, view *v, const char *want, patience *wait, bool *stored,
            char (&detail)[kDetailSize]) {
  // A file-size limit from now on fails a write with EFBIG, which is told.
  signal(SIGXFSZ, SIG_IGN);
  quiet_iniparser quiet;
  fault why;
  bool done = false;
  for (int tries = 0;; v->dict.reset(nullptr)) {
    if (!v->dict.d) why = find(path, v, wait);
    if (!failed(why)) why = before_turn(v, want, &done);
    if (!failed(why) && !done) why = store_once(v, want, wait, stored, detail);
    if (done || *stored || !start_again(why, &tries)) break;
    v->in.reset(-1);  // no lease is held while the store waits
    if (!wait->step()) break;
  }
  return !*stored && is_stale(why) ? fault{reason::changed} : why;
}

}  // namespace

int debug_store_type1(const char *path, view *v, int8_t type1, patience *wait, fault *why,
                      char (&detail)[kDetailSize]) {
  char want[8];
  snprintf(want, sizeof want, "%d", type1);
  bool stored = false;
  *why = store(path, v, want, wait, &stored, detail);
  if (!failed(*why)) return 0;
  return stored ? 1 : -1;
}

}  // namespace debugcfg
