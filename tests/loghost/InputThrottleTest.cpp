// loghost's bound on the lines it has queued: reading stops while they cost more than half the
// bound, and goes on as the worker takes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "loghost/InputThrottle.h"
#include "loghost/Progress.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(InputThrottleTest, ReadingWaitsWhileTheQueuedLinesCostMoreThanHalfTheBound) {
  safe_pipe<std::string> pipe;
  Progress progress;
  // Each line costs 1 KiB with its overhead: the 33rd goes over half of a 64 KiB bound.
  InputThrottle throttle(pipe, 64 * 1024);
  const std::string line(1024 - InputThrottle::kLineCost, 'x');
  constexpr int kLines = 200;
  std::atomic<int> pushed{0};
  std::thread reader([&] {
    for (int n = 1; n <= kLines; ++n) {
      pipe.push(line);
      throttle.pushed(line.size(), progress, n);
      pushed = n;
    }
  });
  // Nobody takes a line: reading stops after the line that went over, and stays stopped.
  EXPECT_TRUE(testsupport::waitFor([&] { return pipe.size() == 33; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(33u, pipe.size());
  EXPECT_EQ(32, pushed.load());
  // A worker that takes what waits lets it go on, never more than the bound's half ahead.
  std::size_t mostQueued = 0, taken = 0;
  std::deque<std::string> burst;
  while (taken < static_cast<std::size_t>(kLines)) {
    mostQueued = std::max(mostQueued, pipe.size());
    // Only this thread takes lines, so a pipe seen holding some still does: popAll will not wait.
    burst.clear();
    if (pipe.size() > 0 && pipe.popAll(burst)) taken += burst.size();
    std::this_thread::yield();
  }
  reader.join();
  EXPECT_EQ(kLines, pushed.load());
  EXPECT_LE(mostQueued, 33u);
}

}  // namespace
