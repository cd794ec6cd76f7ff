#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"
#include "udplog-recv/LineOutput.h"

namespace {

TEST(LineOutputTest, WritesLinesAsTheyCameUnlessToldToShowTabsAsASeparator) {
  testsupport::TempDir dir;
  LineOutput out;
  ASSERT_TRUE(out.open(dir.file("lines.txt")));
  out.write("a\vb");
  out.showTabsAs('|');
  out.write("c\vd\v");
  ASSERT_TRUE(out.close());
  EXPECT_EQ("a\vb\nc|d|\n", testsupport::readFile(dir.file("lines.txt")));
}

}  // namespace
