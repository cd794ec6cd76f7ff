#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {
// flock() rather than fcntl() locks: an fcntl lock belongs to the process, so two FileLocks of
// one process would not exclude each other, and closing any descriptor of the file would drop it.
// O_NONBLOCK: a FIFO put where the lock file belongs cannot stall the open.
constexpr int kOpenFlags = O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
}  // namespace

std::error_code FileLock::lock(const std::string& path, std::chrono::milliseconds patience) {
  unlock();
  int fd = ::open(path.c_str(), O_RDWR | kOpenFlags, 0666);
  // flock() needs no write access: a lock file that another user made, without write permission
  // for this one, still serves.
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | kOpenFlags, 0666);
  if (fd < 0) return std::error_code(errno, std::generic_category());
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int cause = errno;
    if ((cause != EWOULDBLOCK && cause != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return std::error_code(cause == EINTR ? EWOULDBLOCK : cause, std::generic_category());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  handle = fd;
  return std::error_code();
}

void FileLock::unlock() {
  if (handle == kClosed) return;
  // Unlocked before it is closed: a child forked while the lock was held has a copy of the
  // descriptor, and closing this one alone would leave the lock to the child for its life.
  ::flock(static_cast<int>(handle), LOCK_UN);
  ::close(static_cast<int>(handle));
  handle = kClosed;
}
