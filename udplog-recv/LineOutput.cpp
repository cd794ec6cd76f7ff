#include "udplog-recv/LineOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

LineOutput::LineOutput() : fd_(STDOUT_FILENO), name_("standard output") {
  buffer_.reserve(kBuffer);
}

LineOutput::~LineOutput() { close(); }

int LineOutput::openFile(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

bool LineOutput::open(const std::string& path) {
  if (path == "-") return true;
  name_ = path;
  fd_ = openFile(path);
  if (fd_ < 0) {
    fail("cannot open", errno);
    return false;
  }
  ownsFd_ = true;
  return true;
}

bool LineOutput::reopen(std::string& error) {
  if (!ownsFd_) {
    error = "the output is " + name_ + ": nothing to reopen";
    return false;
  }
  flush();
  const int fd = openFile(name_);
  if (fd < 0) {
    error = "cannot reopen " + name_ + ": " + std::strerror(errno) +
            " (the lines go on to the file open before)";
    return false;
  }
  ::close(fd_);
  fd_ = fd;
  return true;
}

void LineOutput::showTabsAs(char separator) {
  replaceTabs_ = true;
  separator_ = separator;
}

void LineOutput::write(std::string_view line) {
  if (failed() || fd_ < 0) return;
  const std::size_t start = buffer_.size();
  buffer_.append(line.data(), line.size());
  if (replaceTabs_) std::replace(buffer_.begin() + start, buffer_.end(), '\v', separator_);
  buffer_.push_back('\n');
  if (buffer_.size() >= kBuffer) flush();
}

void LineOutput::flush() {
  if (failed() || fd_ < 0) return;
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal came; the stop is seen after this write
      fail("cannot write", errno);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  // A long line does not keep its memory for the short ones after it.
  if (buffer_.capacity() > 4 * kBuffer) {
    std::string().swap(buffer_);
    buffer_.reserve(kBuffer);
  }
}

bool LineOutput::close() {
  if (fd_ < 0) return !failed();
  flush();
  if (ownsFd_ && ::close(fd_) != 0 && !failed()) fail("cannot close", errno);
  fd_ = -1;
  ownsFd_ = false;
  return !failed();
}

void LineOutput::fail(const char* what, int error) {
  if (failed()) return;
  error_ = std::string(what) + " " + name_ + ": " + std::strerror(error);
}
