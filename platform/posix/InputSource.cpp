#include "platform/InputSource.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/StopSignals.h"

namespace {
// Waits until fd can be read; false when a stopping signal came first.
bool awaitInput(int fd) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {static_cast<int>(StopSignals::wakeHandle()), POLLIN, 0}};
  while (StopSignals::received() == 0) {
    if (::poll(fds, 2, -1) >= 0 || errno != EINTR) return StopSignals::received() == 0;
  }
  return false;
}
}  // namespace

const bool InputSource::kCrLfText = false;

std::ptrdiff_t InputSource::read(char* buffer, std::size_t size, std::string& error) {
  const int fd = ::fileno(stream);
  for (;;) {
    if (!awaitInput(fd)) return 0;
    ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    error = std::strerror(errno);
    return -1;
  }
}
