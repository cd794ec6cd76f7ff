#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "udplog-recv/reassembly/LineAssembler.h"

namespace {

struct Recorder : LineAssembler::Listener {
  void line(std::uint32_t sequence, std::string_view text) override {
    lines.push_back(std::to_string(sequence) + "=" + std::string(text));
  }
  void report(const std::string& text) override { reports.push_back(text); }
  std::vector<std::string> lines, reports;
};

class LineAssemblerTest : public ::testing::Test {
 protected:
  Datagram parse(const std::string& datagram) {
    storage.push_back(datagram);
    Datagram d;
    std::string reason;
    EXPECT_TRUE(DatagramParser::parse(storage.back().data(), storage.back().size(), d, reason))
        << reason;
    return d;
  }
  void feed(const std::string& datagram, LineAssembler::Clock::time_point when = {}) {
    assembler.accept(parse(datagram), when);
  }
  Recorder recorder;
  LineAssembler::Limits limits;
  LineAssembler assembler{recorder, limits};
  std::deque<std::string> storage;
};

TEST_F(LineAssemblerTest, ReassemblesOutOfOrderFragmentsAndReportsGaps) {
  const std::string a(50000, 'a'), b(50000, 'b');
  feed("5:1/1|five");
  feed("6:3/3|c");
  feed("6:1/3|" + a);
  EXPECT_EQ(std::vector<std::string>{"5=five"}, recorder.lines);
  feed("6:2/3|" + b);
  ASSERT_EQ(2u, recorder.lines.size());
  EXPECT_EQ("6=" + a + b + "c", recorder.lines[1]);
  EXPECT_TRUE(recorder.reports.empty());

  feed("9:1/1|nine");  // 7 and 8 never came
  ASSERT_EQ(1u, recorder.reports.size());
  EXPECT_EQ("lost lines 7 to 8 (2)", recorder.reports[0]);
  feed("8:1/1|eight");  // late after all: delivered, said so, and no longer lost
  EXPECT_EQ("8=eight", recorder.lines.back());
  EXPECT_EQ("line 8 arrived late", recorder.reports.back());
  EXPECT_EQ(1u, assembler.counts().lost);
  EXPECT_EQ(1u, assembler.counts().late);
  feed("4:1/1|before the first one heard");  // not a gap of this stream: no late line
  EXPECT_EQ(1u, assembler.counts().late);

  // The numbers wrap from 4294967295 to 1 without a gap.
  Recorder theRecorder;
  LineAssembler wrapping(theRecorder, limits);
  for (const char* d : {"4294967294:1/1|x", "4294967295:1/1|y", "1:1/1|z", "2:1/1|w"}) {
    wrapping.accept(parse(d), {});
  }
  EXPECT_EQ(4u, theRecorder.lines.size());
  EXPECT_TRUE(theRecorder.reports.empty()) << theRecorder.reports[0];
}

TEST_F(LineAssemblerTest, RepeatsConflictsAndJumpsAreCountedNotWritten) {
  const std::string x(50000, 'x');
  feed("1:1/1|one");
  feed("2:1/1|two");
  feed("1:1/1|one");  // a replay of a delivered line
  feed("2:1/1|TWO");  // other bytes under a delivered number
  feed("3:1/2|" + x);
  feed("3:1/2|" + x);                        // a part held, again
  feed("3:1/2|" + std::string(50000, 'q'));  // other bytes for a part held
  feed("3:3/3|tail");                        // another part count for a line held
  feed("3:2/2|tail");
  feed("3:2/2|tail");  // a replay of a delivered line of two parts
  EXPECT_EQ((std::vector<std::string>{"1=one", "2=two", "3=" + x + "tail"}), recorder.lines);
  EXPECT_EQ(3u, assembler.counts().duplicates);
  EXPECT_EQ(3u, assembler.counts().conflicts);

  // A forged number far ahead is a resynchronisation, not billions lost; the stream goes on
  // from there, and a number far behind it cannot be told from a replay.
  feed("2000000000:1/1|far");
  feed("2000000001:1/1|next");
  feed("1999990000:1/1|old");
  EXPECT_EQ(0u, assembler.counts().lost);
  EXPECT_EQ(1u, assembler.counts().resyncs);
  EXPECT_EQ(1u, assembler.counts().tooOld);
  EXPECT_EQ("2000000001=next", recorder.lines.back());
}

// A repeat of a delivered line within the window is never written again: not across the wrap
// from 4294967295 to 1, and not after a multi-part line far behind completed or was given up
// (its number shares a place in the window with a newer line).
TEST_F(LineAssemblerTest, RepeatsStayRepeatsAcrossTheWrapAndOldMultiPartLines) {
  for (std::uint32_t n : {4294967294u, 4294967295u}) feed(std::to_string(n) + ":1/1|old");
  for (int n = 1; n <= 1022; ++n) feed(std::to_string(n) + ":1/1|new");
  feed("4294967294:1/1|old");  // 1 023 numbers behind the newest: still within the window
  EXPECT_EQ(1024u, recorder.lines.size());
  EXPECT_EQ(1u, assembler.counts().duplicates);
  EXPECT_EQ(0u, assembler.counts().late);

  const std::string x(50000, 'x');
  const auto start = LineAssembler::Clock::now();
  for (bool completes : {true, false}) {
    Recorder theRecorder;
    LineAssembler far(theRecorder, limits);
    far.accept(parse("1:1/2|" + x), start);
    for (int n = 2; n <= 1100; ++n) far.accept(parse(std::to_string(n) + ":1/1|line"), start);
    if (completes) {
      far.accept(parse("1:2/2|tail"), start);
    } else {
      far.expire(start + std::chrono::seconds(6));
    }
    far.accept(parse("1025:1/1|line"), start);  // shares its place in the window with line 1
    EXPECT_EQ(1100u - (completes ? 0 : 1), theRecorder.lines.size()) << completes;
    EXPECT_EQ(1u, far.counts().duplicates) << completes;
    EXPECT_EQ(0u, far.counts().late) << completes;
  }
}

TEST_F(LineAssemblerTest, TellsASenderStartingOverFromLateLines) {
  const auto start = LineAssembler::Clock::now();
  for (int n = 1; n <= 500; ++n) feed(std::to_string(n) + ":1/1|line", start);
  // Back near 1 at once: a replay of an old line; after a silence: the sender began again.
  EXPECT_FALSE(assembler.startsOver(parse("1:1/1|line"), start));
  EXPECT_TRUE(assembler.startsOver(parse("2:1/1|line"), start + std::chrono::seconds(2)));
  for (int n = 501; n <= 3000; ++n) feed(std::to_string(n) + ":1/1|line", start);
  // Near 1 but further behind than the numbers remembered, or very far behind: started over.
  EXPECT_TRUE(assembler.startsOver(parse("5:1/1|line"), start));
  EXPECT_FALSE(assembler.startsOver(parse("2999:1/1|line"), start + std::chrono::seconds(2)));
  EXPECT_FALSE(assembler.startsOver(parse("3001:1/1|line"), start + std::chrono::seconds(2)));
}

TEST_F(LineAssemblerTest, IncompleteLinesTimeOutAndMemoryStaysBounded) {
  const auto start = LineAssembler::Clock::now();
  feed("1:1/2|" + std::string(50000, 'x'), start);
  assembler.expire(start + std::chrono::seconds(4));
  EXPECT_TRUE(recorder.reports.empty());
  assembler.expire(start + std::chrono::seconds(6));
  ASSERT_EQ(1u, recorder.reports.size());
  EXPECT_EQ("line 1 incomplete (1 of 2 parts), timed out", recorder.reports[0]);
  EXPECT_EQ(1u, assembler.counts().incomplete);
  feed("1:2/2|late part", start + std::chrono::seconds(7));  // of a line given up
  EXPECT_EQ(1u, assembler.counts().tooOld);
  EXPECT_TRUE(recorder.lines.empty());

  // More half lines than the bound: the oldest go first.
  Recorder theRecorder;
  LineAssembler::Limits theLimits;
  theLimits.maxPendingLines = 3;
  LineAssembler bounded(theRecorder, theLimits);
  for (std::uint32_t n = 1; n <= 10; ++n) {
    bounded.accept(parse(std::to_string(n) + ":1/2|" + std::string(50000, 'y')),
                   start + std::chrono::milliseconds(n));
  }
  EXPECT_EQ(7u, bounded.counts().incomplete);
  bounded.finish("still incomplete at the end");
  EXPECT_EQ(10u, bounded.counts().incomplete);
  EXPECT_EQ("line 1 incomplete (1 of 2 parts), dropped to bound memory", theRecorder.reports[0]);
}

}  // namespace
