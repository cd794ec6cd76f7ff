#include "udplog-recv/LineOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/StopSignals.h"

namespace {

// True when the regular file at path, size bytes long, ends in "\n" or is empty. A file that
// cannot be read is taken as whole: only a byte read proves a cut line.
bool endsInLineEnd(const std::string& path, std::uint64_t size) {
  if (size == 0) return true;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return true;
  char last = '\n';
  const bool read = ::pread(fd, &last, 1, static_cast<off_t>(size - 1)) == 1;
  ::close(fd);
  return !read || last == '\n';
}

}  // namespace

LineOutput::LineOutput() : file(std::make_unique<AppendFile>()), outputName("standard output") {
  if (const std::error_code error = file->openStandardOutput()) fail("cannot use", error);
  buffer.reserve(kBuffer);
}

LineOutput::~LineOutput() { close(); }

std::error_code LineOutput::openFile(AppendFile& theFile) {
  // An output may be a pipe that another program drains: writes wait for it as they would for any
  // program's output. Opening a FIFO waits for its reader; a signal that does not stop the run
  // (SIGUSR1, SIGHUP) interrupts that wait, which goes on.
  std::error_code error;
  do {
    error = theFile.open(outputName, AppendFile::Waiting::kAllowed);
  } while (error == std::errc::interrupted && StopSignals::received() == 0);
  if (error) return error;
  if (theFile.kind() != AppendFile::Kind::kRegular || endsInLineEnd(outputName, theFile.size())) {
    return std::error_code();
  }
  if (theFile.write("\n", 1, error) != 1) return error;
  notice = outputName + " did not end in a line end: one was added before the new lines";
  return std::error_code();
}

bool LineOutput::open(const std::string& path) {
  if (path == "-") return true;
  outputName = path;
  named = true;
  failure.clear();  // standard output, not used, may have failed
  if (const std::error_code error = openFile(*file)) {
    fail("cannot open", error);
    return false;
  }
  return true;
}

bool LineOutput::reopen(std::string& error) {
  if (!named) {
    error = "the output is " + outputName + ": nothing to reopen";
    return false;
  }
  flush();
  auto next = std::make_unique<AppendFile>();
  if (const std::error_code cause = openFile(*next)) {
    error = "cannot reopen " + outputName + ": " + cause.message() +
            " (the lines go on to the file open before)";
    return false;
  }
  file = std::move(next);  // closes the old file
  return true;
}

void LineOutput::showTabsAs(char theSeparator) {
  replaceTabs = true;
  separator = theSeparator;
}

void LineOutput::write(std::string_view line) {
  if (failed() || !isOpen()) return;
  const std::size_t start = buffer.size();
  buffer.append(line.data(), line.size());
  if (replaceTabs) std::replace(buffer.begin() + start, buffer.end(), '\v', separator);
  // A line end inside a line (sent by something other than the logger, whose writers blank
  // theirs) would make two lines of one: it is written as a blank too.
  if (line.find('\n') != std::string_view::npos) {
    std::replace(buffer.begin() + start, buffer.end(), '\n', ' ');
  }
  buffer.push_back('\n');
  lineEnds.push_back(buffer.size());
  if (buffer.size() >= kBuffer) flush();
}

void LineOutput::flush() {
  if (failed() || !isOpen() || buffer.empty()) return;
  std::error_code error;
  const std::size_t whole = file->writeRecords(buffer, lineEnds, error);
  written += whole;
  if (whole < lineEnds.size()) fail("cannot write", error);
  buffer.clear();
  lineEnds.clear();
  // A long line does not keep its memory for the short ones after it.
  if (buffer.capacity() > 4 * kBuffer) {
    std::string().swap(buffer);
    buffer.reserve(kBuffer);
  }
}

bool LineOutput::close() {
  if (!isOpen()) return !failed();
  flush();
  if (const std::error_code error = file->close(); error && named) fail("cannot close", error);
  return !failed();
}

void LineOutput::fail(const char* what, const std::error_code& error) {
  if (failed()) return;
  failure = std::string(what) + " " + outputName + ": " + error.message();
}
