#include <gtest/gtest.h>

#include <cstdint>

#include "logger/media/ConfigNumber.h"

namespace {

TEST(ConfigNumberTest, OnlyWholeDecimalNumbersInRangeWithoutAMinusCount) {
  struct Case {
    const char* text;
    bool ok16;
    uint16_t value16;
    bool ok32;
    uint32_t value32;
  };
  const Case cases[] = {
      {"50", true, 50, true, 50},
      {"0", true, 0, true, 0},
      {"007", true, 7, true, 7},
      {"65535", true, 65535, true, 65535},
      {"65536", false, 0, true, 65536},
      {"70000", false, 0, true, 70000},
      {"4294967295", false, 0, true, 4294967295u},
      {"4294967296", false, 0, false, 0},
      {"99999999999999999999999", false, 0, false, 0},
      {"-1", false, 0, false, 0},
      {"-0", false, 0, false, 0},
      {"+5", true, 5, true, 5},
      {"+", false, 0, false, 0},
      {"++5", false, 0, false, 0},
      {"+-5", false, 0, false, 0},
      {" 5", false, 0, false, 0},
      {"5 ", false, 0, false, 0},
      {"0x10", false, 0, false, 0},
      {"1e3", false, 0, false, 0},
      {"abc", false, 0, false, 0},
      {"", false, 0, false, 0},
  };
  for (const Case& c : cases) {
    uint16_t v16 = 1234;
    uint32_t v32 = 1234;
    EXPECT_EQ(c.ok16, ConfigNumber::parse(c.text, v16)) << '"' << c.text << '"';
    EXPECT_EQ(c.ok16 ? c.value16 : 1234, v16) << '"' << c.text << '"';
    EXPECT_EQ(c.ok32, ConfigNumber::parse(c.text, v32)) << '"' << c.text << '"';
    EXPECT_EQ(c.ok32 ? c.value32 : 1234u, v32) << '"' << c.text << '"';
  }
}

}  // namespace
