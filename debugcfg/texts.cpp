// The words of a failed store's reasons: the one place a fault becomes
// text, so that -Wswitch catches a reason without words.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "debug_config.h"

namespace debugcfg {

namespace {

#define DEBUG_PATIENCE " " DEBUG_TEXT(DEBUG_PATIENCE_SECONDS) " s"

// What a reason's words are about where not the file at the path: the lock
// file (what stands there may be no lock of the tool's), or the new file.
enum class about : uint8_t { file, lock, unsafe_lock, new_file };

struct words {
  const char *text;  // nullptr: the failed system call's
  about of = about::file;
};

// A reason's words. Evaluated as the tool is built, into one packed text
// (kWords): no table of pointers for the loader to relocate at each start.
constexpr words words_of(reason why) {
  switch (why) {
    case reason::none: return {""};
    case reason::system: return {nullptr};
    case reason::unsafe_path: return {"unsafe link or folder on the path"};
    case reason::not_regular: return {"not a regular file"};
    case reason::no_proc: return {"/proc is not mounted"};
    case reason::no_turn: return {"waited" DEBUG_PATIENCE " for the writers' lock"};
    case reason::leased: return {"waited" DEBUG_PATIENCE " for another process's lease"};
    case reason::busy: return {"another process kept writing the file for" DEBUG_PATIENCE};
    case reason::changed: return {"file kept changing while it was stored"};
    case reason::no_load: return {"file does not load"};
    case reason::new_no_load: return {"new text does not load"};
    case reason::no_verify: return {"new text does not verify"};
    case reason::not_read_back: return {"written text does not read back"};
    case reason::mount_point: return {"file is a mount point"};
    case reason::file_frozen: return {"file is immutable or append-only"};
    case reason::folder_frozen: return {"folder is immutable or append-only"};
    case reason::file_links: return {"file has other links"};
    case reason::nul_byte: return {"file holds a NUL byte"};
    case reason::line_too_long: return {"line too long"};
    case reason::no_parse: return {"file does not parse"};
    case reason::open_continuation: return {"file ends inside a continued line"};
    case reason::edit_too_big: return {"edited text does not fit"};
    case reason::edit_no_read_back: return {"edited text does not read back"};
    case reason::no_memory: return {"out of memory"};
    case reason::lock_file: return {nullptr, about::lock};
    case reason::lock_symlink: return {"a symbolic link", about::unsafe_lock};
    case reason::lock_not_regular: return {"not a regular file", about::unsafe_lock};
    case reason::lock_links: return {"has other links", about::unsafe_lock};
    case reason::lock_not_empty: return {"not empty", about::unsafe_lock};
    case reason::lock_owner: return {"owned by account ", about::unsafe_lock};
    case reason::new_file: return {nullptr, about::new_file};
    case reason::xattr: return {nullptr};
  }
  return {""};
}

constexpr size_t kReasons = static_cast<size_t>(reason::xattr) + 1;
constexpr uint16_t kSystems = UINT16_MAX;  // at: the failed system call's words

// Every reason's words, each ending in a NUL, where each starts, and what
// each is about.
template <size_t N>
struct packed {
  char text[N];
  uint16_t at[kReasons];
  about of[kReasons];
};

constexpr size_t packed_size() {
  size_t n = 0;
  for (size_t i = 0; i < kReasons; ++i)
    for (const char *w = words_of(static_cast<reason>(i)).text; w; w = *w ? w + 1 : nullptr) ++n;
  return n;
}

constexpr packed<packed_size()> pack() {
  packed<packed_size()> p{};
  size_t n = 0;
  for (size_t i = 0; i < kReasons; ++i) {
    words w = words_of(static_cast<reason>(i));
    p.at[i] = w.text ? static_cast<uint16_t>(n) : kSystems;
    p.of[i] = w.of;
    for (const char *c = w.text; c; c = *c ? c + 1 : nullptr) p.text[n++] = *c;
  }
  return p;
}

constexpr auto kWords = pack();

}  // namespace

void debug_fault_text(const fault &f, char (&out)[kFaultText]) {
  auto i = static_cast<size_t>(f.why);
  const char *said = kWords.at[i] == kSystems ? strerror(f.err) : kWords.text + kWords.at[i];
  char owner[48];
  if (f.why == reason::lock_owner) {
    snprintf(owner, sizeof owner, "%s%u", said, f.account);
    said = owner;
  }
  if (f.why == reason::xattr) {
    snprintf(out, sizeof out, "can't carry the file's %s: %s", f.name, said);
  } else if (kWords.of[i] != about::file) {
    // The file beside the one at the path: .<name><suffix>.
    const char *base = f.name + strlen(f.name);
    while (base > f.name && base[-1] != '/') --base;
    about of = kWords.of[i];
    snprintf(out, sizeof out, "%s%s file %.*s.%s%s: %s", of == about::unsafe_lock ? "unsafe " : "",
             of == about::new_file ? "new" : "lock", static_cast<int>(base - f.name), f.name, base,
             of == about::new_file ? DEBUG_NEW_SUFFIX : DEBUG_LOCK_SUFFIX, said);
  } else {
    snprintf(out, sizeof out, "%s", said);
  }
}

}  // namespace debugcfg
