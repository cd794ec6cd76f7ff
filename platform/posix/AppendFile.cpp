#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

const char AppendFile::kLineEnd[] = "\n";
const std::size_t AppendFile::kLineEndSize = 1;

namespace {
// O_NONBLOCK: a FIFO without a reader fails the open instead of waiting for one, and a character
// device that cannot take a write at once fails it (EAGAIN). A regular file ignores the flag.
constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;

AppendFile::Kind kindOf(mode_t mode) {
  if (S_ISREG(mode)) return AppendFile::Kind::kRegular;
  if (S_ISCHR(mode)) return AppendFile::Kind::kCharacterDevice;
  if (S_ISFIFO(mode)) return AppendFile::Kind::kFifo;
  if (S_ISSOCK(mode)) return AppendFile::Kind::kSocket;
  if (S_ISBLK(mode)) return AppendFile::Kind::kBlockDevice;
  return AppendFile::Kind::kOther;
}
}  // namespace

std::error_code AppendFile::open(const std::string& thePath, Waiting waiting) {
  close();
  const int flags = waiting == Waiting::kNever ? kOpenFlags : kOpenFlags & ~O_NONBLOCK;
  const int fd = ::open(thePath.c_str(), flags, 0666);
  if (fd < 0) return std::error_code(errno, std::generic_category());
  adopt(fd);
  return std::error_code();
}

std::error_code AppendFile::openStandardOutput() {
  close();
  // A copy above the standard streams, so that closing it leaves standard output open.
  const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (fd < 0) return std::error_code(errno, std::generic_category());
  adopt(fd);
  return std::error_code();
}

void AppendFile::adopt(std::intptr_t theHandle) {
  handle = theHandle;
  struct stat status {};
  // A failed fstat leaves a kind that callers refuse.
  if (::fstat(static_cast<int>(handle), &status) != 0) status.st_mode = 0;
  openedKind = kindOf(status.st_mode);
  openedSize = openedKind == Kind::kRegular ? static_cast<std::uint64_t>(status.st_size) : 0;
}

std::size_t AppendFile::write(const char* data, std::size_t size, std::error_code& error) {
  const int fd = static_cast<int>(handle);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error = std::error_code(n < 0 ? errno : ENOSPC, std::generic_category());
      break;
    }
  }
  return done;
}

bool AppendFile::takeBack(std::size_t count) {
  if (openedKind != Kind::kRegular || handle == kClosed) return false;
  const int fd = static_cast<int>(handle);
  // An appending write leaves the offset at its own end. Where the file has grown past that,
  // another process appended behind the bytes: cutting would take its lines, so they stay.
  const off_t ours = ::lseek(fd, 0, SEEK_CUR);
  struct stat now;
  if (ours < static_cast<off_t>(count) || ::fstat(fd, &now) != 0 || now.st_size != ours) {
    return false;
  }
  return ::ftruncate(fd, ours - static_cast<off_t>(count)) == 0;
}

std::error_code AppendFile::close() {
  if (handle == kClosed) return std::error_code();
  const int closed = ::close(static_cast<int>(handle));
  handle = kClosed;
  return closed == 0 ? std::error_code() : std::error_code(errno, std::generic_category());
}
