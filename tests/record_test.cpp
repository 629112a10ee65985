#include "record.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "view.h"
#include "testutil.h"

namespace {

using namespace debugcfg;

struct load_case {
  const char *name;
  const char *file;  // nullptr: the dictionary is null
  const char *printer;
  int default_name, type1, type2, type3;
};

const load_case kLoads[] = {
    {"empty file", "", "", 0, 1, 1, 1},
    {"null dictionary", nullptr, "", 0, 1, 1, 1},
    {"no sys section", "[net]\nType1=5\n", "", 0, 1, 1, 1},
    {"missing Type3 defaults", "[sys]\nType1=2\nType2=0\n", "", 0, 2, 0, 1},
    {"negative keeps the field", "[sys]\nType2=-5\n", "", 0, 1, 0, 1},
    {"low 8 bits", "[sys]\nType1=200\nType2=300\nType3=256\n", "", 0, -56, 44, 0},
    {"iniparser's number forms", "[sys]\nType1=0x10\nType2=010\nType3=7abc\n", "", 0, 16, 8, 7},
    {"beyond int clamps", "[sys]\nType1=99999999999\n", "", 0, -1, 1, 1},
    {"name and default name", "[sys]\nprinterName=lp0\ndefaultName=-7\n", "lp0", -7, 1, 1, 1},
    {"name without default name", "[sys]\nprinterName=lp0\n", "lp0", 1, 1, 1, 1},
    {"empty name skips default name", "[sys]\nprinterName=\ndefaultName=9\n", "", 0, 1, 1, 1},
    {"name cut to 31", "[sys]\nprinterName=abcdefghijklmnopqrstuvwxyz0123456789ABCD\n",
     "abcdefghijklmnopqrstuvwxyz01234", 1, 1, 1, 1},
    {"valueless entries count as missing", "[sys:Type1]\n[sys:printerName]\n[sys]\nType2=3\n",
     "", 0, 1, 3, 1},
};

TEST(Record, LoadsByTheFileRules) {
  for (const load_case &c : kLoads) {
    SCOPED_TRACE(c.name);
    testutil::scratch s;
    dictionary *d = nullptr;
    if (c.file) {
      testutil::write_file(s.path("debug.cfg"), c.file);
      d = iniparser_load(s.path("debug.cfg").c_str());
      ASSERT_NE(d, nullptr);
    }
    dict_guard guard(d);
    debug_config_t rec;
    memset(&rec, 0, sizeof rec);
    debug_load_record(d, &rec);
    EXPECT_STREQ(rec.printerName, c.printer);
    EXPECT_EQ(rec.defaultName, c.default_name);
    EXPECT_EQ(rec.Type1, c.type1);
    EXPECT_EQ(rec.Type2, c.type2);
    EXPECT_EQ(rec.Type3, c.type3);
  }
}

TEST(Record, WriteConfigSetsSectionAndTypes) {
  testutil::scratch s;
  testutil::write_file(s.path("debug.cfg"), "[net]\nx=1\n[sys]\nprinterName=lp0\nType1=9\n");
  dict_guard d(iniparser_load(s.path("debug.cfg").c_str()));
  debug_config_t rec;
  memset(&rec, 0, sizeof rec);
  rec.Type1 = 44;
  rec.Type3 = -2;
  ASSERT_EQ(debug_writeConfig(&rec, d.d), 0);
  EXPECT_STREQ(iniparser_getstring(d.d, "sys:Type1", "?"), "44");
  EXPECT_STREQ(iniparser_getstring(d.d, "sys:Type2", "?"), "0");
  EXPECT_STREQ(iniparser_getstring(d.d, "sys:Type3", "?"), "-2");
  EXPECT_STREQ(iniparser_getstring(d.d, "sys:printerName", "?"), "lp0");
  EXPECT_STREQ(iniparser_getstring(d.d, "net:x", "?"), "1");
  EXPECT_EQ(debug_writeConfig(&rec, nullptr), -1);
}

}  // namespace
