#include "platform/MetricsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

std::error_code MetricsFile::writeNew(const std::string& name, const std::string& text) {
  // O_EXCL: a file or a link already at the name fails the creation, so nothing is followed and
  // nothing another process writes is shared. The mode is a new file's, 0666 less the umask, so
  // that node_exporter, another user, may read it where the umask allows.
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return std::error_code(errno, std::generic_category());
  int error = 0;
  std::size_t done = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      error = n == 0 ? ENOSPC : errno;
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) ::unlink(name.c_str());
  return std::error_code(error, std::generic_category());
}

std::error_code MetricsFile::replace(const std::string& from, const std::string& to) {
  // rename() replaces a link at to by the file, never writing through it.
  if (std::rename(from.c_str(), to.c_str()) == 0) return std::error_code();
  return std::error_code(errno, std::generic_category());
}
