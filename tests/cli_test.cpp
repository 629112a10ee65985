#include "cli.h"

#include <gtest/gtest.h>
#include <limits.h>

namespace {

TEST(Cli, ParsesValuesAsAtoiAndClamps) {
  const struct {
    const char *text;
    int value;
  } cases[] = {
      {"5", 5},          {"  \t-12", -12},       {"+7", 7},
      {"12abc", 12},     {"abc", 0},             {"", 0},
      {"0x10", 0},       {"2147483647", INT_MAX}, {"2147483648", INT_MAX},
      {"99999999999", INT_MAX}, {"-2147483648", INT_MIN}, {"-99999999999", INT_MIN},
  };
  for (const auto &c : cases) EXPECT_EQ(debug_parse_value(c.text), c.value) << c.text;
}

}  // namespace
