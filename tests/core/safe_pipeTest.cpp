#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logger/core/safe_pipe.h"

namespace {

using Pipe = safe_pipe<std::string>;

TEST(safe_pipeTest, ABlockedPopIsWokenByAPushFromAnotherThread) {
  Pipe pipe;
  std::atomic<bool> popped{false};
  std::string out;
  std::thread reader([&] {
    EXPECT_TRUE(pipe.pop(out));
    popped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(popped) << "pop must block on an empty pipe";
  pipe.push("hello");
  reader.join();
  EXPECT_EQ("hello", out);
}

TEST(safe_pipeTest, LinesFromManyWritersArriveWholeAndInEachWritersOrder) {
  Pipe pipe;
  const int writers = 4, perWriter = 20000;
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < perWriter; ++i) {
        pipe.push(std::to_string(w) + ":" + std::to_string(i) + ":" + std::string(w * 10, 'x'));
      }
    });
  }
  std::vector<int> next(writers, 0);
  std::string line;
  for (int n = 0; n < writers * perWriter; ++n) {
    ASSERT_TRUE(pipe.pop(line));
    std::size_t first = line.find(':'), second = line.find(':', first + 1);
    ASSERT_NE(std::string::npos, second) << line;
    int w = std::stoi(line.substr(0, first));
    ASSERT_EQ(next[w], std::stoi(line.substr(first + 1, second - first - 1))) << line;
    ASSERT_EQ(std::string(w * 10, 'x'), line.substr(second + 1)) << "torn line " << line;
    ++next[w];
  }
  for (auto& t : threads) t.join();
}

TEST(safe_pipeTest, CancelTakesPrecedenceOnceAndKeepsTheLines) {
  Pipe pipe;
  pipe.push("one");
  pipe.push("two");
  pipe.push("three");
  pipe.cancel();
  std::string out = "unchanged";
  EXPECT_FALSE(pipe.pop(out));
  EXPECT_EQ("unchanged", out);
  EXPECT_TRUE(pipe.pop(out));
  EXPECT_EQ("one", out);

  // A cancel wakes a reader that is already waiting.
  Pipe empty;
  std::thread reader([&] { EXPECT_FALSE(empty.pop(out)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  empty.cancel();
  reader.join();
}

TEST(safe_pipeTest, PopAllTakesEveryWaitingLineInOrderAndHonoursCancel) {
  Pipe pipe;
  EXPECT_TRUE(pipe.empty());
  for (int i = 0; i < 5; ++i) pipe.push("line " + std::to_string(i));
  EXPECT_FALSE(pipe.empty());
  pipe.cancel();
  std::deque<std::string> burst;
  EXPECT_FALSE(pipe.popAll(burst));
  EXPECT_TRUE(burst.empty());
  ASSERT_TRUE(pipe.popAll(burst));
  EXPECT_EQ((std::deque<std::string>{"line 0", "line 1", "line 2", "line 3", "line 4"}), burst);
  EXPECT_TRUE(pipe.empty());

  // A reader blocked in popAll is woken by the next push.
  burst.clear();
  std::thread reader([&] { EXPECT_TRUE(pipe.popAll(burst)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pipe.push("late");
  reader.join();
  EXPECT_EQ(std::deque<std::string>{"late"}, burst);
}

TEST(safe_pipeTest, PopAllUntilReturnsOnAPushOrAtTheDeadlineNotBefore) {
  using Clock = std::chrono::steady_clock;
  Pipe pipe;
  std::deque<std::string> burst;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(50);
  ASSERT_TRUE(pipe.popAllUntil(burst, deadline));
  EXPECT_TRUE(burst.empty());
  EXPECT_GE(Clock::now(), deadline) << "returned before the deadline with nothing to take";

  // A reader waiting with a distant deadline is woken by the next push.
  std::thread reader(
      [&] { EXPECT_TRUE(pipe.popAllUntil(burst, Clock::now() + std::chrono::seconds(30))); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pipe.push("woken");
  reader.join();
  EXPECT_EQ(std::deque<std::string>{"woken"}, burst);

  // Lines already waiting are taken even past the deadline, and the cancel flag comes first.
  burst.clear();
  pipe.push("one");
  pipe.push("two");
  pipe.cancel();
  EXPECT_FALSE(pipe.popAllUntil(burst, Clock::now()));
  ASSERT_TRUE(pipe.popAllUntil(burst, Clock::now() - std::chrono::seconds(1)));
  EXPECT_EQ((std::deque<std::string>{"one", "two"}), burst);

  // No deadline at all: it waits as popAll() does.
  burst.clear();
  std::thread patient([&] { EXPECT_TRUE(pipe.popAllUntil(burst, Clock::time_point::max())); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pipe.push("at last");
  patient.join();
  EXPECT_EQ(std::deque<std::string>{"at last"}, burst);
}

TEST(safe_pipeTest, EmptyAndBinaryLinesRoundTrip) {
  Pipe pipe;
  const std::string binary("a\0b\x0b\r\n\xff", 7);
  pipe.push("");
  pipe.push(binary);
  pipe.push(std::string(1 << 20, 'z'));
  std::string out = "x";
  ASSERT_TRUE(pipe.pop(out));
  EXPECT_EQ("", out);
  ASSERT_TRUE(pipe.pop(out));
  EXPECT_EQ(binary, out);
  ASSERT_TRUE(pipe.pop(out));
  EXPECT_EQ(std::string(1 << 20, 'z'), out);
}

// Counts live copies, to see that queued lines are released with the pipe.
struct Tracked {
  static std::atomic<int> live;
  Tracked() { ++live; }
  Tracked(const Tracked&) { ++live; }
  Tracked& operator=(const Tracked&) = default;
  ~Tracked() { --live; }
};
std::atomic<int> Tracked::live{0};

TEST(safe_pipeTest, PushingWithNoReaderQueuesAndDestructionReleases) {
  {
    auto pipe = std::make_shared<safe_pipe<Tracked>>();
    for (int i = 0; i < 1000; ++i) pipe->push(Tracked());
    EXPECT_EQ(1000, Tracked::live.load());
  }
  EXPECT_EQ(0, Tracked::live.load());
}

}  // namespace
