#include <gtest/gtest.h>

#include <vector>

#include "tools/LineAssembler.h"

namespace {

struct Recorder : LineAssembler::Listener {
  void line(std::uint32_t sequence, const std::string& text) override {
    lines.push_back(std::to_string(sequence) + "=" + text);
  }
  void report(const std::string& text) override { reports.push_back(text); }
  std::vector<std::string> lines, reports;
};

class LineAssemblerTest : public ::testing::Test {
 protected:
  void feed(const std::string& datagram, LineAssembler::Clock::time_point when = {}) {
    storage_.push_back(datagram);
    Datagram d;
    std::string reason;
    ASSERT_TRUE(DatagramParser::parse(storage_.back().data(), storage_.back().size(), d, reason))
        << reason;
    assembler_.accept(d, when);
  }
  Recorder recorder_;
  LineAssembler::Limits limits_;
  LineAssembler assembler_{recorder_, limits_};
  std::vector<std::string> storage_;
};

TEST_F(LineAssemblerTest, ReassemblesOutOfOrderFragmentsAndReportsGaps) {
  const std::string a(50000, 'a'), b(50000, 'b');
  feed("5:1/1|five");
  feed("6:3/3|c");
  feed("6:1/3|" + a);
  EXPECT_EQ(std::vector<std::string>{"5=five"}, recorder_.lines);
  feed("6:2/3|" + b);
  ASSERT_EQ(2u, recorder_.lines.size());
  EXPECT_EQ("6=" + a + b + "c", recorder_.lines[1]);
  EXPECT_TRUE(recorder_.reports.empty());

  feed("9:1/1|nine");  // 7 and 8 never came
  ASSERT_EQ(1u, recorder_.reports.size());
  EXPECT_EQ("lost lines 7 to 8 (2)", recorder_.reports[0]);
  feed("8:1/1|eight");  // late after all: delivered, and said so
  EXPECT_EQ("8=eight", recorder_.lines.back());
  EXPECT_EQ("line 8 arrived late", recorder_.reports.back());
  EXPECT_EQ(2u, assembler_.counts().lost);
  EXPECT_EQ(1u, assembler_.counts().late);

  feed("4294967295:1/1|max");
  feed("1:1/1|wrapped");  // the wrap is no gap
  EXPECT_EQ("1=wrapped", recorder_.lines.back());
  EXPECT_EQ(4u, recorder_.reports.size()) << "only the jump to 4294967295 was reported";
}

TEST_F(LineAssemblerTest, IncompleteLinesTimeOutAndMemoryStaysBounded) {
  const auto start = LineAssembler::Clock::now();
  feed("1:1/2|" + std::string(50000, 'x'), start);
  assembler_.expire(start + std::chrono::seconds(4));
  EXPECT_TRUE(recorder_.reports.empty());
  assembler_.expire(start + std::chrono::seconds(6));
  ASSERT_EQ(1u, recorder_.reports.size());
  EXPECT_EQ("line 1 incomplete (1 of 2 parts), timed out", recorder_.reports[0]);
  EXPECT_EQ(1u, assembler_.counts().incomplete);

  // More half lines than the bound: the oldest go first.
  Recorder recorder;
  LineAssembler::Limits limits;
  limits.maxPendingLines = 3;
  LineAssembler bounded(recorder, limits);
  std::vector<std::string> storage;
  for (std::uint32_t n = 1; n <= 10; ++n) {
    storage.push_back(std::to_string(n) + ":1/2|" + std::string(50000, 'y'));
    Datagram d;
    std::string reason;
    ASSERT_TRUE(DatagramParser::parse(storage.back().data(), storage.back().size(), d, reason));
    bounded.accept(d, start + std::chrono::milliseconds(n));
  }
  EXPECT_EQ(7u, bounded.counts().incomplete);
  bounded.finish();
  EXPECT_EQ(10u, bounded.counts().incomplete);
  EXPECT_EQ("line 1 incomplete (1 of 2 parts), dropped to bound memory", recorder.reports[0]);
}

}  // namespace
