#include "ini_edit.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "testutil.h"

namespace {

using debugcfg::ini_set_entry;
using debugcfg::text_buf;

// Removes the line "sys" (the bare section entry) from a list of entries.
std::string without_section(std::string all) {
  size_t at = all.rfind("sys\n", 0) == 0 ? 0 : all.find("\nsys\n");
  if (at == std::string::npos) return all;
  return all.erase(at == 0 ? 0 : at + 1, 4);
}

int edit(const std::string &in, const char *value, std::string *out, debugcfg::reason *why,
         bool append_block = false) {
  text_buf buf;
  *why = ini_set_entry(in.data(), in.size(), "sys:Type1", value, append_block, &buf);
  if (*why != debugcfg::reason::none) return -1;
  out->assign(buf.data, buf.len);
  return 0;
}

// out must load with sys:type1 reading value and every other entry as in
// `in`; only the bare [sys] section entry may be new.
void expect_same_but_type1(const std::string &in, const std::string &out, const char *value) {
  std::string want = testutil::entries(in, "sys:type1");
  std::string got = testutil::entries(out, "sys:type1");
  if (without_section(want) == want) got = without_section(got);
  EXPECT_EQ(got, want) << "out:\n" << out;
  EXPECT_NE(testutil::entries(out).find(std::string("sys:type1=") + value + "\n"),
            std::string::npos)
      << out;
}

struct edit_case {
  const char *name;
  const char *in;
  const char *out;
  bool append_block = false;
};

// A CR LF file whose last line, with no end, is as long as iniparser takes.
const std::string kLongestLast = "[net]\r\nx=" + std::string(1020, 'a');
const std::string kLongestLastEdited = kLongestLast + "\n[sys]\r\nType1 = 44\r\n";

const edit_case kEdits[] = {
    {"plain", "[sys]\nType1 = 3\nType2 = 4\n", "[sys]\nType1 = 44\nType2 = 4\n"},
    {"spelling and comment kept", "[SYS]\n  type1=3  ; note\r\n", "[SYS]\n  type1=44  ; note\r\n"},
    {"double quotes", "[sys]\nType1 = \"3\" # q\n", "[sys]\nType1 = \"44\" # q\n"},
    {"single quotes", "[sys]\nType1 = '3'\n", "[sys]\nType1 = '44'\n"},
    {"empty quotes", "[sys]\nType1 = \"\"\n", "[sys]\nType1 = \"44\"\n"},
    {"empty value", "[sys]\nType1 =\n", "[sys]\nType1 =44\n"},
    {"empty before comment", "[sys]\nType1 = ;c\n", "[sys]\nType1 = 44;c\n"},
    {"text value", "[sys]\nType1 = on # x\n", "[sys]\nType1 = 44 # x\n"},
    {"last duplicate wins", "[sys]\nType1 = 1\nType1 = 2\n", "[sys]\nType1 = 1\nType1 = 44\n"},
    {"sections merge", "[sys]\nType1=1\n[net]\nType1=9\n[sys]\nType2=2\n",
     "[sys]\nType1=44\n[net]\nType1=9\n[sys]\nType2=2\n"},
    {"continued line joins", "[sys]\nType1 = \\\n  3\nType2 = 2\n", "[sys]\nType1 =   44\nType2 = 2\n"},
    {"continued CRLF", "[sys]\r\nType1 = 3 \\\r\n4\r\n", "[sys]\r\nType1 = 44\r\n"},
    {"added after last entry", "[sys]\nType2 = 2\n\n; net\n[net]\nx=1\n",
     "[sys]\nType2 = 2\nType1 = 44\n\n; net\n[net]\nx=1\n"},
    {"added to last block", "[sys]\nType2=2\n[net]\n[sys]\r\nType3=3\r\n[x]\n",
     "[sys]\nType2=2\n[net]\n[sys]\r\nType3=3\r\nType1 = 44\r\n[x]\n"},
    {"header without newline", "[sys]", "[sys]\nType1 = 44\n"},
    {"section appended", "[net]\r\nx=1\r\n", "[net]\r\nx=1\r\n[sys]\r\nType1 = 44\r\n"},
    {"empty file", "", "[sys]\nType1 = 44\n"},
    {"other section's Type1", "[net]\nType1 = 5", "[net]\nType1 = 5\n[sys]\nType1 = 44\n"},
    {"valueless header wins", "[sys]\nType1=3\n[sys:Type1]\n",
     "[sys]\nType1=3\n[sys:Type1]\n[sys]\nType1 = 44\n"},
    {"header before block", "[sys:type1]\n[sys]\nType2=1\n", "[sys:type1]\n[sys]\nType2=1\nType1 = 44\n"},
    {"empty header keeps a cut name", "[sys]\n[]\nType1=3\n", "[sys]\nType1 = 44\n[]\nType1=3\n"},
    {"unchanged", "[sys]\nType1 = 44\n", "[sys]\nType1 = 44\n"},
    {"longest last line ends in LF", kLongestLast.c_str(), kLongestLastEdited.c_str()},
    {"own block asked for", "[sys]\nType1 = 5\n[sys]]\nType1 = 7",
     "[sys]\nType1 = 5\n[sys]]\nType1 = 7\n[sys]\nType1 = 44\n", true},
};

TEST(IniEdit, ChangesOnlyTheEntryIniparserTakes) {
  for (const edit_case &c : kEdits) {
    SCOPED_TRACE(c.name);
    std::string out;
    debugcfg::reason why;
    ASSERT_EQ(edit(c.in, "44", &out, &why, c.append_block), 0) << static_cast<int>(why);
    EXPECT_EQ(out, c.out);
    expect_same_but_type1(c.in, out, "44");
  }
}

TEST(IniEdit, RefusesWhatItCannotEditSafely) {
  const struct {
    const char *name;
    std::string in;
  } cases[] = {
      {"NUL byte", std::string("[sys]\nType1=1\n\0\n", 16)},
      {"line over iniparser's buffer", "[sys]\nx=" + std::string(1100, 'a') + "\n"},
      {"syntax error", "[sys]\nType1\n"},
      {"ends inside a continued line", "[net]\nx=1\\\n"},
      {"value grows past the buffer", "[sys]\nType1 = 1 ;" + std::string(1010, 'x') + "\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    debugcfg::reason why;
    EXPECT_EQ(edit(c.in, "-128", &out, &why), -1);
  }
}

// Texts built from the pieces iniparser treats specially: whatever the
// editor accepts must load with only sys:type1 changed.
TEST(IniEdit, AgreesWithIniparserOnGeneratedTexts) {
  const char *pieces[] = {"[sys]", "[SYS ]", "[]", "[ ]", "[sys:Type1]", "[net]", "Type1 = 3",
                          " type1=\"7\" ;x", "TYPE1 = '", "Type1=", "Type1 = ;c", "Type2=2",
                          "; c", "# c", "\\", "x = a\\", "y = 'b'", "z = \"\"", "\t", "",
                          "Type1 = 9 \\", "k=v=w"};
  const char *ends[] = {"\n", "\r\n", "\\\n", "", " \n"};
  std::mt19937 rng(20261208);
  int edited = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string in;
    int n = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < n; ++i) {
      in += pieces[rng() % (sizeof pieces / sizeof *pieces)];
      in += ends[rng() % (sizeof ends / sizeof *ends)];
    }
    if (testutil::entries(in) == "FAILED") continue;
    std::string out;
    debugcfg::reason why;
    if (edit(in, "-56", &out, &why) != 0) continue;
    ++edited;
    SCOPED_TRACE(in);
    expect_same_but_type1(in, out, "-56");
    if (HasFailure()) return;
  }
  EXPECT_GT(edited, 1000);
}

}  // namespace
