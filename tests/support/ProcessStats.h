// What a test can count about its own process, to prove that nothing was left behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <thread>

namespace testsupport {

// The threads of this process as the system counts them now.
std::size_t threadCount();

// The thread count once it is expected, or after five seconds whatever it is then. A joined
// thread can still be counted for a moment: the kernel wakes the joiner before it removes the
// thread from the process's list.
inline std::size_t threadCountOnceItIs(std::size_t expected) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::size_t count = threadCount();
  while (count != expected && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = threadCount();
  }
  return count;
}

// The thread count once it has stayed the same for 20 ms: a baseline taken just after threads
// were joined.
inline std::size_t threadCountAtRest() {
  std::size_t count = threadCount(), before;
  do {
    before = count;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    count = threadCount();
  } while (count != before);
  return count;
}

}  // namespace testsupport
