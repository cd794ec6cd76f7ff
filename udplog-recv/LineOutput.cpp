#include "udplog-recv/LineOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

LineOutput::LineOutput() : fd(STDOUT_FILENO), outputName("standard output") {
  buffer.reserve(kBuffer);
}

LineOutput::~LineOutput() { close(); }

int LineOutput::openFile(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
}

bool LineOutput::open(const std::string& path) {
  if (path == "-") return true;
  outputName = path;
  fd = openFile(path);
  if (fd < 0) {
    fail("cannot open", errno);
    return false;
  }
  ownsFd = true;
  return true;
}

bool LineOutput::reopen(std::string& error) {
  if (!ownsFd) {
    error = "the output is " + outputName + ": nothing to reopen";
    return false;
  }
  flush();
  const int theFd = openFile(outputName);
  if (theFd < 0) {
    error = "cannot reopen " + outputName + ": " + std::strerror(errno) +
            " (the lines go on to the file open before)";
    return false;
  }
  ::close(fd);
  fd = theFd;
  return true;
}

void LineOutput::showTabsAs(char theSeparator) {
  replaceTabs = true;
  separator = theSeparator;
}

void LineOutput::write(std::string_view line) {
  if (failed() || fd < 0) return;
  const std::size_t start = buffer.size();
  buffer.append(line.data(), line.size());
  if (replaceTabs) std::replace(buffer.begin() + start, buffer.end(), '\v', separator);
  buffer.push_back('\n');
  if (buffer.size() >= kBuffer) flush();
}

void LineOutput::flush() {
  if (failed() || fd < 0) return;
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;  // a signal came; the stop is seen after this write
      fail("cannot write", errno);
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer.clear();
  // A long line does not keep its memory for the short ones after it.
  if (buffer.capacity() > 4 * kBuffer) {
    std::string().swap(buffer);
    buffer.reserve(kBuffer);
  }
}

bool LineOutput::close() {
  if (fd < 0) return !failed();
  flush();
  if (ownsFd && ::close(fd) != 0 && !failed()) fail("cannot close", errno);
  fd = -1;
  ownsFd = false;
  return !failed();
}

void LineOutput::fail(const char* what, int error) {
  if (failed()) return;
  failure = std::string(what) + " " + outputName + ": " + std::strerror(error);
}
