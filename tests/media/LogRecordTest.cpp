#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "logger/media/LogRecord.h"
#include "tests/support/ReferenceLineForm.h"

namespace {

const std::string VT = "\x0b";

using testsupport::referenceLineForm;

std::string lineForm(const std::string& line) {
  std::ostringstream out;
  out << LogRecord(line);
  return out.str();
}

TEST(LogRecordTest, LineFormOfTheEdgeCases) {
  struct Case {
    std::string line, expected;
  };
  const std::string nul("x\0y", 3);
  const Case cases[] = {
      {"a" + VT + "b" + VT + "c" + VT + "d" + VT + "e" + VT + "f",
       std::string(21, ' ') + "a" + std::string(11, ' ') + "b" + std::string(9, ' ') + "c" +
           std::string(17, ' ') + "d e -> f"},
      {"no tabs at all", std::string(8, ' ') + "no tabs at all" + std::string(41, ' ') + " -> "},
      {"1" + VT + "2" + VT + "3" + VT + "4" + VT + "5" + VT + "6" + VT + "seventh",
       std::string(21, ' ') + "1" + std::string(11, ' ') + "2" + std::string(9, ' ') + "3" +
           std::string(17, ' ') + "4 5 -> 6"},
      {VT + VT + "third", std::string(22 + 12 + 5, ' ') + "third" + std::string(18, ' ') + "  -> "},
      {"a\r\nb" + VT + "c\nd", std::string(18, ' ') + "a\r\nb" + std::string(9, ' ') + "c\nd" +
                                   std::string(28, ' ') + "  -> "},
      {"", std::string(63, ' ') + " -> "},
      {std::string(30, 'L') + VT + "t",
       std::string(30, 'L') + std::string(11, ' ') + "t" + std::string(28, ' ') + "  -> "},
      {nul + VT + VT + VT + VT + nul + VT + nul,
       std::string(19, ' ') + nul + std::string(40, ' ') + " " + nul + " -> " + nul},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, lineForm(c.line)) << "line: " << c.line;
    EXPECT_EQ(c.expected, referenceLineForm(c.line)) << "reference disagrees: " << c.line;
  }
  LogRecord record("t" + VT + "th" + VT + "ERROR" + VT + "net_interface" + VT + "m");
  EXPECT_EQ("ERROR", record.level());
  EXPECT_EQ("net_interface", record.source());
  // Equal fields make equal records, whatever the line held beyond them.
  EXPECT_EQ(LogRecord("a"), LogRecord("a" + VT + VT));
  EXPECT_EQ(LogRecord("a" + VT + "b" + VT + "c" + VT + "d" + VT + "e" + VT + "f"),
            LogRecord("a" + VT + "b" + VT + "c" + VT + "d" + VT + "e" + VT + "f" + VT + "g"));
  EXPECT_FALSE(LogRecord("a" + VT + "b") == LogRecord("a" + VT + VT + "b"));
}

TEST(LogRecordTest, DirectSplitMatchesTheStreamSplitOnGeneratedLines) {
  std::mt19937 random(12345);
  const char alphabet[] = {'a', 'Z', ' ', '\x0b', '\x0b', '\r', '\n', '\0', '\xff', '-', '>'};
  LogRecord reused;
  for (int n = 0; n < 20000; ++n) {
    std::string line;
    int length = random() % 4 == 0 ? random() % 200 : random() % 30;
    for (int i = 0; i < length; ++i) line += alphabet[random() % sizeof(alphabet)];
    reused.assign(line);  // storage reused from the previous line must not leak into this one
    std::string viaReuse;
    reused.appendLineForm(viaReuse);
    ASSERT_EQ(referenceLineForm(line), lineForm(line)) << "line #" << n;
    ASSERT_EQ(referenceLineForm(line), viaReuse) << "line #" << n;
    ASSERT_EQ(viaReuse.size(), reused.lineFormSize());
  }
}

}  // namespace
