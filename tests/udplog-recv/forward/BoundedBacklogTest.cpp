#include <gtest/gtest.h>

#include <string>

#include "udplog-recv/forward/Backoff.h"
#include "udplog-recv/forward/BoundedBacklog.h"

namespace {

// A full backlog drops its oldest lines, never the one half written (kept at the front), counts
// each, and reports the first drop of each run only; either bound fills it.
TEST(BoundedBacklogTest, DropsTheOldestButTheHalfWrittenAndReportsEachRunOnce) {
  BoundedBacklog<std::string> backlog("tcp://127.0.0.1:514", 3, 1 << 20);
  std::uint64_t dropped = 0;
  for (const char* line : {"a", "b", "c"}) EXPECT_EQ("", backlog.push(line, 0, dropped));
  const std::string report = backlog.push("d", 1, dropped);
  EXPECT_NE(std::string::npos, report.find("the backlog for tcp://127.0.0.1:514 is full (3 lines"))
      << report;
  EXPECT_EQ("", backlog.push("e", 1, dropped)) << "the same run";
  EXPECT_EQ(2u, dropped);
  EXPECT_EQ("a", backlog.takeFront());
  EXPECT_EQ("d", backlog.takeFront());
  backlog.taken();
  backlog.push("f", 0, dropped);
  backlog.push("g", 0, dropped);
  EXPECT_NE("", backlog.push("h", 0, dropped)) << "a new run after the target took lines";
  EXPECT_EQ(3u, dropped);
  EXPECT_EQ("f", backlog.front());

  // Bytes: a line of 1 MiB leaves room for nothing else.
  BoundedBacklog<std::string> bytes("relp://[::1]:2514", 100, 1 << 20);
  std::uint64_t byBytes = 0;
  bytes.push(std::string(1000, 'x'), 0, byBytes);
  bytes.push(std::string(1 << 20, 'y'), 0, byBytes);
  EXPECT_EQ(1u, byBytes);
  EXPECT_EQ(1u, bytes.size());
  bytes.takeFront();
  bytes.push(std::string(1 << 20, 'z'), 0, byBytes);
  EXPECT_EQ(1u, byBytes) << "the bytes taken out are room again";
}

// Lines held elsewhere for the target (a live RELP window) count against the bound and are
// never pushed out: the oldest waiting lines go first, and when none is left the new line goes.
TEST(BoundedBacklogTest, LinesHeldElsewhereShareTheBoundAndAreNeverPushedOut) {
  BoundedBacklog<std::string> backlog("relp://[::1]:2514", 4, 1 << 20);
  std::uint64_t dropped = 0;
  for (const char* line : {"a", "b"}) EXPECT_EQ("", backlog.push(line, 0, dropped, 2, 0));
  EXPECT_NE("", backlog.push("c", 0, dropped, 2, 0));
  EXPECT_EQ(1u, dropped);
  EXPECT_EQ("b", backlog.front());
  EXPECT_EQ(2u, backlog.size());

  backlog.takeFront();
  backlog.takeFront();
  EXPECT_EQ("", backlog.push("d", 0, dropped, 4, 0)) << "the same run of drops";
  EXPECT_EQ(2u, dropped) << "a window that fills the bound leaves no room for a new line";
  EXPECT_TRUE(backlog.empty());
  backlog.push("e", 0, dropped, 1, 1 << 20);
  EXPECT_EQ(3u, dropped) << "nor does one that fills the bytes";
  backlog.pushFront("again");
  EXPECT_EQ("again", backlog.front()) << "a line put back is not bounded again";
}

TEST(BoundedBacklogTest, TheBackoffDoublesUpToItsLastStepAndStartsOverOnceConnected) {
  using std::chrono::milliseconds;
  Backoff backoff(milliseconds(100), milliseconds(500));
  EXPECT_EQ(milliseconds(100), backoff.failed());
  EXPECT_EQ(milliseconds(200), backoff.failed());
  EXPECT_EQ(milliseconds(400), backoff.failed());
  EXPECT_EQ(milliseconds(500), backoff.failed());
  EXPECT_EQ(milliseconds(500), backoff.failed());
  backoff.startOver();
  EXPECT_EQ(milliseconds(100), backoff.failed());
}

}  // namespace
