#include "ini_scan.h"

#include <string.h>
#include <strings.h>

namespace debugcfg {

namespace {

// isspace() and tolower() as the C locale has them, the one the tool and
// iniparser run in (nothing calls setlocale). One copy each: inlined at
// every call they would not fit the device's binary.
__attribute__((noinline)) bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

__attribute__((noinline)) char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// As the C locale compares, the one the tool and iniparser run in.
bool same_nocase(const char *s, size_t n, const char *word) {
  return strlen(word) == n && strncasecmp(s, word, n) == 0;
}

void trim(const char *s, size_t *from, size_t *to) {
  while (*from < *to && is_space(s[*from])) ++*from;
  while (*to > *from && is_space(s[*to - 1])) --*to;
}

// As fgets(buf, size, f) on the text from *pos, as stdio hands it: at most
// size - 1 bytes, through the first newline; false when nothing is left.
// *at_eof is what feof(f) would then say.
bool read_chunk(const char *text, size_t len, size_t *pos, char *buf, int size, bool *at_eof) {
  if (*pos >= len) return false;
  auto max = static_cast<size_t>(size - 1);
  size_t i = 0;
  while (i < max && *pos < len) {
    char c = text[(*pos)++];
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

}  // namespace

reason scan(const char *text, size_t len, const target &t, scan_result *res) {
  if (memchr(text, '\0', len)) return reason::nul_byte;
  size_t pos = 0;
  char line[kLineSize + 1] = {};
  char current[kLineSize + 1] = {};
  int last = 0;
  size_t start = 0;
  for (;;) {
    if (last == 0) start = pos;
    size_t chunk_start = pos;
    int piece_from = last;
    bool at_eof = false;
    if (!read_chunk(text, len, &pos, line + last, kLineSize - last, &at_eof)) break;
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
    note(t, line, li, current, start, chunk_start, pos, piece_from, res);
    memset(line, 0, kLineSize);
  }
  res->open_line = last != 0;
  return reason::none;
}

void aim(const char *entry, target *t) {
  size_t at = 0;
  while (entry[at] != ':') ++at;
  memcpy(t->section, entry, at);
  t->section[at] = '\0';
  t->key = entry + at + 1;
  for (size_t i = 0; i == 0 || entry[i - 1]; ++i) t->header[i] = lower(entry[i]);
}

}  // namespace debugcfg
