#include "udplog-recv/forward/PollWait.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

int PollWait::millisUntil(Clock::time_point deadline, Clock::time_point now) {
  if (deadline <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

short PollWait::until(int fd, short events, Clock::time_point deadline, int wakeFd) {
  pollfd watch[] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(watch, 2, millisUntil(deadline, Clock::now()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return 0;
    if (watch[1].revents & POLLIN) {
      std::uint64_t count;
      (void)!::read(wakeFd, &count, sizeof(count));
    }
    return watch[0].revents;
  }
}
