#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/support/TestSupport.h"
#include "udplog-recv/LineOutput.h"

namespace {

// A line end inside a line (a forged datagram) is a blank: one line stays one line in the file.
TEST(LineOutputTest, WritesLinesAsTheyCameUnlessToldToShowTabsAsASeparator) {
  testsupport::TempDir dir;
  LineOutput out;
  ASSERT_TRUE(out.open(dir.file("lines.txt")));
  out.write("a\vb");
  out.write("x\ny\r");
  out.showTabsAs('|');
  out.write("c\vd\v");
  ASSERT_TRUE(out.close());
  EXPECT_EQ("a\vb\nx y\r\nc|d|\n", testsupport::readFile(dir.file("lines.txt")));
  EXPECT_EQ(3u, out.linesWritten());
}

TEST(LineOutputTest, AFileEndingInACutLineGetsItsLineEndWhenOpenedAndReopened) {
  testsupport::TempDir dir;
  const std::string path = dir.file("lines.txt");
  std::ofstream(path) << "whole\ncut";
  LineOutput out;
  ASSERT_TRUE(out.open(path));
  EXPECT_EQ(path + " did not end in a line end: one was added before the new lines",
            out.takeNotice());
  EXPECT_EQ("", out.takeNotice()) << "said once";
  out.write("first");
  // Rotated away, and another program's cut line where the new file opens.
  ASSERT_EQ(0, std::rename(path.c_str(), (path + ".1").c_str()));
  std::ofstream(path) << "other cut";
  std::string error;
  ASSERT_TRUE(out.reopen(error)) << error;
  EXPECT_NE("", out.takeNotice());
  out.write("second");
  ASSERT_TRUE(out.close());
  EXPECT_EQ("whole\ncut\nfirst\n", testsupport::readFile(path + ".1"));
  EXPECT_EQ("other cut\nsecond\n", testsupport::readFile(path));
  EXPECT_EQ(2u, out.linesWritten());
}

}  // namespace
