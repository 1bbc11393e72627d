// The real runtime unit of this platform.
#include "runtime.h"

#include <gtest/gtest.h>

namespace {

TEST(Runtime, ScansSigned64BitDecimals) {
  struct Case {
    const char* text;
    bool read;
    std::int64_t value;
  };
  const Case cases[] = {
      {"512", true, 512},
      {" \t\n+7", true, 7},
      {"-0", true, 0},
      {"12abc", true, 12},
      {"4k", true, 4},
      {"0x10", true, 0},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"-9223372036854775809", false, 0},
      {"99999999999999999999999", false, 0},
      {"", false, 0},
      {"abc", false, 0},
      {"-", false, 0},
      {"+-1", false, 0},
      {"- 1", false, 0},
  };
  for (const Case& c : cases) {
    std::int64_t value = 0;
    EXPECT_EQ(rt::scan_i64(c.text, &value), c.read) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

}  // namespace
