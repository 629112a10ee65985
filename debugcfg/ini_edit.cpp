#include "ini_edit.h"

#include <stdlib.h>
#include <string.h>

#include "ini_scan.h"

namespace debugcfg {

namespace {

// The line ending of the line that ends at `end`: "\r\n", "\n" or "".
const char *eol_before(const char *text, size_t end) {
  if (end == 0 || text[end - 1] != '\n') return "";
  return end >= 2 && text[end - 2] == '\r' ? "\r\n" : "\n";
}

const char *first_eol(const char *text, size_t len) {
  const char *nl = static_cast<const char *>(memchr(text, '\n', len));
  if (!nl) return "\n";
  return nl > text && nl[-1] == '\r' ? "\r\n" : "\n";
}

// Appends into a buffer of a size fixed in advance; a text that would not
// fit is never written past the end, only marked.
struct builder {
  char *p;
  size_t cap;
  size_t n;
  bool overflow;
  void add(const char *s, size_t len) {
    if (len > cap - n) {
      overflow = true;
      return;
    }
    memcpy(p + n, s, len);
    n += len;
  }
  void add(const char *s) { add(s, strlen(s)); }
};

// The text with the value of the line that sets the entry replaced.
void replace_value(builder *b, const char *text, size_t len, const setter &set, const char *value) {
  size_t piece = set.line_len > set.piece_from ? set.line_len - set.piece_from : 0;
  b->add(text, set.start);
  b->add(set.line, set.val_from);
  b->add(value);
  b->add(set.line + set.val_to, set.line_len - set.val_to);
  b->add(text + set.chunk_start + piece, set.chunk_end - set.chunk_start - piece);
  b->add(text + set.chunk_end, len - set.chunk_end);
}

// "key = value" and the line ending.
void add_entry(builder *b, const char *key, const char *value, const char *eol) {
  b->add(key);
  b->add(" = ");
  b->add(value);
  b->add(eol);
}

// The text with "key = value" added after the line that ends at at.
void add_line(builder *b, const char *text, size_t len, size_t at, const char *key,
              const char *value) {
  const char *eol = eol_before(text, at);
  b->add(text, at);
  // A line that had no end gets a bare LF: a CR would take a line of
  // iniparser's greatest length past it.
  if (!*eol) b->add("\n");
  add_entry(b, key, value, *eol ? eol : first_eol(text, len));
  b->add(text + at, len - at);
}

// The text with a block of the section holding "key = value" after it.
void add_block(builder *b, const char *text, size_t len, const target &t, const char *value) {
  const char *eol = first_eol(text, len);
  b->add(text, len);
  if (len > 0 && text[len - 1] != '\n') b->add("\n");
  b->add("[");
  b->add(t.section);
  b->add("]");
  b->add(eol);
  add_entry(b, t.key, value, eol);
}

// Why the edited text would not read back as the new value, or none: a
// joined line may have grown past iniparser's buffer.
reason check(const builder &b, const target &t, const char *value) {
  if (b.overflow) return reason::edit_too_big;
  scan_result again;
  reason why = scan(b.p, b.n, t, &again);
  if (why != reason::none) return why;
  size_t vlen = strlen(value);
  const setter &set = again.set;
  if (!set.is_value || set.val_to - set.val_from != vlen ||
      memcmp(set.line + set.val_from, value, vlen) != 0)
    return reason::edit_no_read_back;
  return reason::none;
}

}  // namespace

reason ini_set_entry(const char *text, size_t len, const char *entry, const char *value,
                     bool append_block, text_buf *out) {
  target t;
  aim(entry, &t);
  scan_result found;
  reason why = scan(text, len, t, &found);
  if (why != reason::none) return why;
  bool own_block = append_block || (!found.set.is_value && found.insert_at <= found.header_end);
  if (own_block && found.open_line) return reason::open_continuation;

  size_t cap = len + strlen(value) + strlen(entry) + 16;
  builder b{static_cast<char *>(malloc(cap)), cap, 0, false};
  if (!b.p) return reason::no_memory;
  if (own_block)
    add_block(&b, text, len, t, value);
  else if (found.set.is_value)
    replace_value(&b, text, len, found.set, value);
  else
    add_line(&b, text, len, found.insert_at, t.key, value);
  if ((why = check(b, t, value)) != reason::none) {
    free(b.p);
    return why;
  }
  free(out->data);
  out->data = b.p;
  out->len = b.n;
  return reason::none;
}

}  // namespace debugcfg
