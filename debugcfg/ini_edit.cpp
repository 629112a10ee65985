#include "ini_edit.h"

#include <stdio.h>
#include <string.h>

namespace debugcfg {

namespace {

// iniparser's line buffer: a logical line, continuations joined, holds at
// most kLineSize - 2 bytes before its newline.
constexpr int kLineSize = 1024;

// isspace() and tolower() as the C locale has them, the one the tool and
// iniparser run in (nothing calls setlocale). One copy each: inlined at
// every call they would not fit the device's binary.
__attribute__((noinline)) bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

__attribute__((noinline)) char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool same_nocase(const char *s, size_t n, const char *word) {
  if (strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(s[i]) != lower(word[i])) return false;
  return true;
}

void trim(const char *s, size_t *from, size_t *to) {
  while (*from < *to && is_space(s[*from])) ++*from;
  while (*to > *from && is_space(s[*to - 1])) --*to;
}

// The text as stdio hands it to fgets().
struct reader {
  const char *p;
  size_t n;
  size_t pos;
};

// As fgets(buf, size, f): at most size - 1 bytes, through the first newline;
// false when nothing is left. *at_eof is what feof(f) would then say.
bool read_chunk(reader *r, char *buf, int size, bool *at_eof) {
  if (r->pos >= r->n) return false;
  auto max = static_cast<size_t>(size - 1);
  size_t i = 0;
  while (i < max && r->pos < r->n) {
    char c = r->p[r->pos++];
    buf[i++] = c;
    if (c == '\n') break;
  }
  buf[i] = '\0';
  *at_eof = i < max && buf[i - 1] != '\n';
  return true;
}

enum class line_kind { blank, comment, section, value, error };

struct line_info {
  line_kind kind = line_kind::blank;
  size_t key_from = 0, key_to = 0;  // the key, trimmed
  size_t val_from = 0, val_to = 0;  // the value text iniparser keeps
};

// A header's name as sscanf "[%[^]]" takes it: up to the first ']'. When
// that is empty sscanf stores nothing, and the previous name stays, cut by
// the bound iniparser passes to its lower-casing.
void read_section(const char *s, size_t n, char *section) {
  size_t end = 1;
  while (end < n && s[end] != ']') ++end;
  if (end > 1) {
    memcpy(section, s + 1, end - 1);
    section[end - 1] = '\0';
  }
  size_t from = 0;
  size_t to = strlen(section);
  trim(section, &from, &to);
  if (to - from > n - 1) to = from + n - 1;
  for (size_t i = from; i < to; ++i) section[i - from] = lower(section[i]);
  section[to - from] = '\0';
}

// Where the value iniparser keeps of a line stands, in line[p, to): after
// the '=' and its blanks. The forms are tried in iniparser's order: double
// quotes, single quotes, bare text up to ';' or '#', then an empty value.
void find_value(const char *line, size_t p, size_t to, line_info *li) {
  while (p < to && is_space(line[p])) ++p;
  li->val_from = li->val_to = p;
  if (p == to) return;
  char q = line[p];
  if ((q == '"' || q == '\'') && p + 1 < to && line[p + 1] != q) {
    size_t end = p + 1;
    while (end < to && line[end] != q) ++end;
    li->val_from = p + 1;
    li->val_to = end;
    return;
  }
  if (q == ';' || q == '#') return;
  size_t end = p;
  while (end < to && line[end] != ';' && line[end] != '#') ++end;
  trim(line, &p, &end);
  if (end - p == 2 && (line[p] == '"' || line[p] == '\'') && line[p + 1] == line[p]) end = ++p;
  li->val_from = p;
  li->val_to = end;
}

// As iniparser_line(): what kind of line it is, with its key and value.
line_info classify(const char *line, char *section) {
  line_info li;
  size_t from = 0;
  size_t to = strlen(line);
  trim(line, &from, &to);
  const char *s = line + from;
  size_t n = to - from;
  if (n == 0) return li;
  if (s[0] == '#' || s[0] == ';') {
    li.kind = line_kind::comment;
    return li;
  }
  if (s[0] == '[' && s[n - 1] == ']') {
    read_section(s, n, section);
    li.kind = line_kind::section;
    return li;
  }
  const char *eq = static_cast<const char *>(memchr(s, '=', n));
  if (!eq || eq == s) {
    li.kind = line_kind::error;
    return li;
  }
  li.kind = line_kind::value;
  size_t at = from + static_cast<size_t>(eq - s);
  li.key_from = from;
  li.key_to = at;
  trim(line, &li.key_from, &li.key_to);
  find_value(line, at + 1, to, &li);
  return li;
}

// The last line that sets the entry, as the dictionary's last write wins.
// Its offsets, for the text "[sys]\nType1 = \\\n  3\nType2 = 2\n", whose Type1
// is continued over two physical lines:
//
//   text[6, 16)   "Type1 = \\\n"  its first physical line: start = 6
//   text[16, 20)  "  3\n"          its last: chunk_start = 16, chunk_end = 20
//   line          "Type1 =   3"   fgets's pieces joined, the backslash gone:
//                 line[8, 11)     "  3", the last piece: piece_from = 8
//                 line[10, 11)    "3", the value iniparser keeps: val_from
//                                 = 10, val_to = 11; line_len = 11
//
// The edit is text[0, start), line[0, val_from), the new value,
// line[val_to, line_len), what the last physical line holds past its piece
// in line (text[chunk_start + line_len - piece_from, chunk_end): "\n"),
// and text[chunk_end, len).
struct setter {
  bool is_value = false;       // a value line; false for a header or none
  size_t start = 0;
  size_t chunk_start = 0;
  size_t chunk_end = 0;
  size_t piece_from = 0;
  size_t val_from = 0, val_to = 0;
  size_t line_len = 0;
  char line[kLineSize + 1];
};

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

// The entry looked for: its section (lower case) and key, and the name of
// a header that sets it, "section:key" in lower case.
struct target {
  char section[kLineSize + 1];
  const char *key;
  char header[kLineSize + 1];
};

void aim(const char *entry, target *t) {
  size_t at = 0;
  while (entry[at] != ':') ++at;
  memcpy(t->section, entry, at);
  t->section[at] = '\0';
  t->key = entry + at + 1;
  for (size_t i = 0; i == 0 || entry[i - 1]; ++i) t->header[i] = lower(entry[i]);
}

// What a read of the text as iniparser's finds for the entry.
struct scan_result {
  setter set;
  size_t header_end = 0;   // end of the last header that sets the entry
  size_t insert_at = 0;    // end of the last entry of the section's last block; 0: none
  bool open_line = false;  // the text ends inside a continued line
};

// Notes what the logical line in `line`, which ends at `end`, does for the
// entry: from `start`, its last physical line from chunk_start, that
// line's bytes from piece_from in `line`.
void note(const target &t, const char *line, const line_info &li, const char *current,
          size_t start, size_t chunk_start, size_t end, int piece_from, scan_result *res) {
  bool in_section = strcmp(current, t.section) == 0;
  if (li.kind == line_kind::section && strcmp(current, t.header) == 0) {
    res->set.is_value = false;
    res->header_end = end;
  }
  if (li.kind == line_kind::value && in_section &&
      same_nocase(line + li.key_from, li.key_to - li.key_from, t.key)) {
    setter &set = res->set;
    set.is_value = true;
    set.start = start;
    set.chunk_start = chunk_start;
    set.chunk_end = end;
    set.piece_from = static_cast<size_t>(piece_from);
    set.val_from = li.val_from;
    set.val_to = li.val_to;
    set.line_len = strlen(line);
    memcpy(set.line, line, set.line_len + 1);
  }
  if (in_section && (li.kind == line_kind::section || li.kind == line_kind::value))
    res->insert_at = end;
}

// Reads the text line by line as iniparser_load() does. Returns why
// iniparser would fail to load it, or reason::none.
reason scan(const char *text, size_t len, const target &t, scan_result *res) {
  if (memchr(text, '\0', len)) return reason::nul_byte;
  reader r{text, len, 0};
  char line[kLineSize + 1] = {};
  char current[kLineSize + 1] = {};
  int last = 0;
  size_t start = 0;
  for (;;) {
    if (last == 0) start = r.pos;
    size_t chunk_start = r.pos;
    int piece_from = last;
    bool at_eof = false;
    if (!read_chunk(&r, line + last, kLineSize - last, &at_eof)) break;
    int n = static_cast<int>(strlen(line)) - 1;
    if (n <= 0) continue;
    if (line[n] != '\n' && !at_eof) return reason::line_too_long;
    while (n >= 0 && is_space(line[n])) line[n--] = '\0';
    if (n < 0) n = 0;
    if (line[n] == '\\') {
      last = n;
      continue;
    }
    last = 0;
    line_info li = classify(line, current);
    if (li.kind == line_kind::error) return reason::no_parse;
    note(t, line, li, current, start, chunk_start, r.pos, piece_from, res);
    memset(line, 0, kLineSize);
  }
  res->open_line = last != 0;
  return reason::none;
}

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

// The text with "key = value" added after the line that ends at at.
void add_line(builder *b, const char *text, size_t len, size_t at, const char *key,
              const char *value) {
  const char *eol = eol_before(text, at);
  b->add(text, at);
  // A line that had no end gets a bare LF: a CR would take a line of
  // iniparser's greatest length past it.
  if (!*eol) b->add("\n");
  b->add(key);
  b->add(" = ");
  b->add(value);
  b->add(*eol ? eol : first_eol(text, len));
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
  b->add(t.key);
  b->add(" = ");
  b->add(value);
  b->add(eol);
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
