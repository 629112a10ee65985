// The store, step by step, as docs/design.md numbers them:
//  S1. Find the file and read it, watched: the command's own read serves
//      the first try, and the path is followed again for every other.
//  S2. Before the turn: nothing is stored where the file already holds the
//      value; nothing can be where a file is mounted over the name, the
//      file has another name, or it or its folder is immutable or
//      append-only.
//  S3. Take the writers' turn on the lock file beside the file (lock.cpp).
//  S4. Take the file again by its name, as a writer before may have
//      replaced it, and read it, watched.
//  S5. Nothing is stored where it now holds the value.
//  S6. Edit its text: in place, else in a block of its own.
//  S7. Make the new file beside it, closed; write it, read it back, see
//      that iniparser reads from it what it should; give it the access the
//      old file grants (new_file.cpp).
//  S8. Look once more: the file is still the one read, and no one opened
//      it for writing meanwhile. Rename the new file over it; sync the
//      folder.
// A file another process changed starts the store again at S1, a few
// times; one whose handles went stale, until the deadline. Once the new
// file is in place, nothing starts again.
#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <initializer_list>

#include "ini_edit.h"
#include "lock.h"
#include "new_file.h"
#include "record.h"

namespace debugcfg {

namespace {

constexpr int kTries = 3;

// What a store is to do: set entry to value.
struct change {
  const char *entry;
  const char *value;
};

// True when iniparser read the change's value for its entry.
bool read_as(const view &v, const change &c) {
  const char *read = entry_text(v.dict.d, c.entry);
  return read && strcmp(read, c.value) == 0;
}

// S2, on the file as v read it; *done where nothing is to be stored
// (iniparser read the value, and the line editor would change no byte),
// which holds on a read-only file system too. A writer waiting for its turn
// holds nothing of the file open: on NFS, the rename of the writer in its
// turn would be a silly rename; and no lease of its own holds off others.
fault before_turn(view *v, const change &c, bool *done) {
  text_buf edited;
  *done = read_as(*v, c) &&
          ini_set_entry(v->text.data, v->text.len, c.entry, c.value, false, &edited) == reason::none &&
          same_text(edited, v->text);
  if (*done) return {};
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

// S4: what the name in the folder now names, as NFS has it afresh (a name
// it cached from before would lead to the file replaced), if it is still a
// regular file of the same owner; else reason::changed, and the store
// starts again from the path. One that has gained another name is not
// replaced: that name would keep the old text.
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
// change's, which reads its value; the entry's section may be new, as a
// bare header. iniparser keeps its keys in lower case, as the tool's
// section; the C locale's strcasecmp matches them as it does.
bool same_but(const dictionary *before, const dictionary *after, const change &c) {
  bool saw = false;
  long kept = 0;  // entries of `after` found unchanged in `before`
  for (decltype(after->size) i = 0; i < after->size; ++i) {
    const char *key = after->key[i];
    const char *val = after->val[i];
    if (!key) continue;
    if (strcasecmp(key, c.entry) == 0) {
      if (!val || strcmp(val, c.value) != 0) return false;
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
  return saw && kept + iniparser_find_entry(before, c.entry) == static_cast<long>(before->n);
}

// Part of S8: true when the file no longer is as read: changed in place by
// a process that takes no turn, or replaced, or given another owner, mode
// or name. Its bytes are compared, not its size and times: they tell all
// those could, and also a change within one tick of a coarse clock, which
// leaves every time as it was. What NFS cached is fetched afresh first.
// The name is looked at last, and where the file is leased, whether any
// process opened it for writing since: nothing slow stands between that
// look and the rename.
bool not_as_read(const view &v) {
  debug_revalidate(v.in.fd);
  if (reads_back(v.in.fd, v.text) != 0) return true;
  debug_revalidate(v.f.dir.fd);
  struct stat st;
  if (fstatat(v.f.dir.fd, v.f.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
  const struct stat &was = v.f.st;
  return !same_file(st, was) || st.st_mode != was.st_mode || st.st_uid != was.st_uid ||
         st.st_gid != was.st_gid || st.st_nlink != was.st_nlink ||
         (v.leased && !debug_still_leased(v.in.fd));
}

// S7 and S8 for one edited text. A text that does not verify may have been
// read from a file that changed between the store's own two reads of it:
// then the store looks again; so it does where a process opened the file
// for writing meanwhile, which its read watches.
fault replace(view *v, const text_buf &text, const change &c, bool *placed) {
  new_file n;
  fault why = new_file_make(&n, *v);
  if (!failed(why)) why = new_file_write(&n, text);
  if (!failed(why)) {
    // Part of S7: iniparser must take from the new file the old entries
    // with only the change's changed. iniparser 4.1 loads it only through
    // /proc.
    why = {reason::new_no_load};
    dict_guard after(debug_load(n.fd.fd, v->f.dir.fd, n.name, false, n.name, &why));
    if (after.d) why = same_but(v->dict.d, after.d, c) ? fault{} : fault{reason::no_verify};
  }
  if (why.why == reason::no_verify && not_as_read(*v)) return {reason::changed};
  if (!failed(why)) why = new_file_grant(&n);
  if (failed(why)) return why;
  if (not_as_read(*v)) return {reason::changed};
  // Nothing of this process may hold the file open as it is replaced: an
  // NFS client would first rename it away (a silly rename), and another
  // client would find no file in between. A leased file, never on NFS,
  // stays open, its lease holding writers off until it is replaced.
  if (!v->leased) v->in.reset(-1);
  v->f.obj.reset(-1);
  return new_file_commit(&n, placed);
}

// S3 to S8, on the file as S1 found it.
fault store_once(view *v, const change &c, patience *wait, bool *placed) {
  fd_guard lock;
  fault why = debug_take_turn(v->f, wait, &lock);
  if (!failed(why)) why = refresh(v, wait);
  if (failed(why)) return why;
  // S6. The editor reads lines as iniparser 4.1 does; where the iniparser
  // that runs here reads them otherwise, a block of the section of its own
  // at the end is read alike by every release. Only iniparser's reading
  // decides. The block is also the way out where the line, edited, would
  // be longer than iniparser takes.
  for (bool own_block : {false, true}) {
    text_buf text;
    reason edit = ini_set_entry(v->text.data, v->text.len, c.entry, c.value, own_block, &text);
    if (edit != reason::none && own_block) return {edit};
    if (edit != reason::none) continue;
    if (same_text(text, v->text)) {
      if (read_as(*v, c)) return {};  // S5: it now holds the value
      continue;
    }
    why = replace(v, text, c, placed);
    if (why.why != reason::no_verify) return why;
  }
  return {reason::no_verify};
}

}  // namespace

int debug_store(const char *path, view *v, const char *entry, const char *value, patience *wait,
                fault *why) {
  quiet_iniparser(true);
  const change c = {entry, value};
  bool placed = false;
  bool done = false;
  for (int tries = 0;; v->dict.reset(nullptr)) {
    // S1 again, from the path, where the command's own read is spent.
    *why = {};
    if (!v->dict.d && debug_find_and_read(path, true, wait, v, why) == 0 && !failed(*why) &&
        !v->dict.d)
      *why = {reason::no_load};
    if (!failed(*why)) *why = before_turn(v, c, &done);
    if (!failed(*why) && !done) *why = store_once(v, c, wait, &placed);
    // Another process changed the file: a few times; a handle went stale:
    // until the deadline.
    if (done || placed ||
        (why->why == reason::changed ? ++tries >= kTries : !is_stale(*why)))
      break;
    v->in.reset(-1);  // no lease is held while the store waits
    if (!wait->step()) break;
  }
  quiet_iniparser(false);
  if (!placed && is_stale(*why)) *why = {reason::changed};
  if (!failed(*why)) return 0;
  return placed ? 1 : -1;
}

}  // namespace debugcfg
