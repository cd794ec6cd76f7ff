#include <gtest/gtest.h>

#include <chrono>

#include "udplog-recv/reassembly/ReadPause.h"

namespace {

using std::chrono::microseconds;

// Rounds 1 ms apart, each of `datagrams` of `size` bytes: the pause after the second.
microseconds pauseAt(std::size_t datagrams, std::size_t size, std::size_t receiveBuffer) {
  ReadPause pause(64, receiveBuffer);
  const auto start = ReadPause::Clock::now();
  pause.after(datagrams, datagrams * size, start);
  return std::chrono::duration_cast<microseconds>(
      pause.after(datagrams, datagrams * size, start + std::chrono::milliseconds(1)));
}

TEST(ReadPauseTest, PausesOnlyForSteadyTrafficAndNeverLongerThanTheBufferHolds) {
  // Sparse traffic is read at once: one datagram a millisecond is not worth a pause.
  EXPECT_EQ(microseconds(0), pauseAt(1, 150, 16 << 20));
  EXPECT_EQ(microseconds(0), pauseAt(0, 0, 16 << 20));
  // 150 000 small datagrams a second: a pause until a batch is there (64 / 150 per ms).
  EXPECT_NEAR(426, pauseAt(150, 150, 16 << 20).count(), 2);
  // 300 000 a second: half that.
  EXPECT_NEAR(213, pauseAt(300, 150, 16 << 20).count(), 2);
  // Up to kMax when a batch takes longer.
  EXPECT_EQ(ReadPause::kMax, pauseAt(10, 150, 16 << 20));
  // Large datagrams into a small buffer: an eighth of it at the round's rate (53 248 bytes at
  // 250 MB/s), however few datagrams that is.
  EXPECT_NEAR(213, pauseAt(5, 50000, 425984).count(), 2);
}

}  // namespace
