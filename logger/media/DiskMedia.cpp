#include "logger/media/DiskMedia.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "logger/core/WorkerErrorReporter.h"
#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"

namespace fs = boost::filesystem;

namespace {
// A batch goes to its file in writes of about this size.
constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr char kLineEnd = '\n';
constexpr const char* kKeptNote = " (records kept for the next flush)";

// What a log path that is neither a regular file nor a character device is, for the report.
const char* refusedKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}
}  // namespace

DiskMedia::DiskMedia()
    : bufferSize(MediaKeys::kDefaultBufferSize), maxFileSize(MediaKeys::kDefaultMaxFileSize) {
  std::string varPath;
  if (ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope)
          ->getValue(MediaKeys::kVarPath, varPath) != 0) {
    varPath = MediaKeys::kDefaultVarPath;
  }
  directory = varPath;
  ConfigurationManager& plugin =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  ConfigNumber::read(plugin, MediaKeys::kMaxFileSize, maxFileSize);
  ConfigNumber::read(plugin, MediaKeys::kBufferSize, bufferSize);
}

DiskMedia::~DiskMedia() {
  try {
    reportLoss(mainRecords, MediaKeys::kMainLogName, mainFailure);
    reportLoss(interfaceRecords, MediaKeys::kInterfacesLogName, interfaceFailure);
  } catch (...) {
    // Out of memory for the report's text: the records go unreported rather than the process.
  }
}

void DiskMedia::write(const std::string& line) {
  LogRecord record(line);
  std::vector<LogRecord>& list =
      record.source().find(MediaKeys::kInterfaceMarker) != std::string::npos ? interfaceRecords
                                                                             : mainRecords;
  list.push_back(std::move(record));
  enforceRetention(list);
  // Counting arrivals rather than buffered records: while a file is unwritable, its kept records
  // do not make every line retry, and the other file still gets a batch per bufferSize records.
  ++sinceFlush;
  if (list.back().level() == MediaKeys::kErrorLevel || sinceFlush >= bufferSize) flush();
  std::string dropped = takeDropReport();
  if (!dropped.empty()) throw std::runtime_error(dropped);
}

void DiskMedia::flush() {
  sinceFlush = 0;
  std::exception_ptr thrown;
  const std::string mainProblem =
      flushFile(mainRecords, MediaKeys::kMainLogName, mainFailure, thrown);
  const std::string interfaceProblem =
      flushFile(interfaceRecords, MediaKeys::kInterfacesLogName, interfaceFailure, thrown);
  std::string problems = mainProblem;
  // A directory that cannot be made fails both files alike; it is reported once.
  if (!interfaceProblem.empty() && interfaceProblem != mainProblem) {
    problems += (problems.empty() ? "" : "; ") + interfaceProblem;
  }
  std::string dropped = takeDropReport();
  if (!dropped.empty()) problems += (problems.empty() ? "" : "; ") + dropped;
  if (problems.empty()) return;
  // A filesystem error that is the only failure leaves as it came, with its type.
  if (thrown && (problems == mainProblem || problems == interfaceProblem)) {
    std::rethrow_exception(thrown);
  }
  throw std::runtime_error(problems);
}

std::string DiskMedia::getRawData() { return MediaKeys::kFileRawData; }

std::string DiskMedia::filePath(const std::string& fileName) const {
  // The file names begin with a slash: the directory's text followed directly by the name.
  return directory.string() + fileName;
}

std::string DiskMedia::flushFile(std::vector<LogRecord>& list, const std::string& fileName,
                                 std::string& failure, std::exception_ptr& thrown) {
  try {
    failure = flushRecords(list, fileName);
    return failure.empty() ? failure : failure + kKeptNote;
  } catch (const std::exception& e) {
    failure = e.what();
    if (!thrown) thrown = std::current_exception();
    return failure;
  }
}

std::string DiskMedia::flushRecords(std::vector<LogRecord>& list, const std::string& fileName) {
  // A directory that appeared since the existence test: leave the list for the next flush.
  if (!fs::exists(directory) && !fs::create_directory(directory)) return "";
  rotateIfNeeded(fileName);

  const std::string path = filePath(fileName);
  // O_NONBLOCK: a FIFO without a reader fails here instead of waiting for one, and a character
  // device that cannot take a write at once fails it (EAGAIN). A regular file ignores the flag.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    int error = errno;
    return "cannot open " + path + ": " + std::strerror(error) +
           (error == ENXIO ? " (a FIFO without a reader, a socket or an absent device)" : "");
  }
  struct stat before {};  // a failed fstat leaves a mode that is refused below
  if (::fstat(fd, &before) != 0 || (!S_ISREG(before.st_mode) && !S_ISCHR(before.st_mode))) {
    ::close(fd);
    return "cannot open " + path + ": it is " + refusedKind(before.st_mode) +
           ", not a regular file";
  }

  std::size_t partialBytes = 0;
  int error = 0;
  std::size_t written = writeRecords(fd, list, partialBytes, error);
  if (partialBytes > 0 && S_ISREG(before.st_mode)) {
    // Take back the cut-off record, so that the retry writes it whole and only once.
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end >= 0 && ::ftruncate(fd, end - static_cast<off_t>(partialBytes)) != 0) {
      // The fragment stays; the record is still retried.
    }
  }
  ::close(fd);

  if (written == list.size()) {
    list.clear();  // keeps the room of the largest batch so far
    return "";
  }
  list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(written));
  return "cannot write " + path + ": " + std::strerror(error);
}

void DiskMedia::rotateIfNeeded(const std::string& fileName) {
  const fs::path path(filePath(fileName));
  // Only a regular file has a size to rotate by; a character device is written as it is, and
  // anything else is refused when it is opened.
  if (!fs::is_regular_file(path)) return;
  // 64-bit on both sides: a limit of 4096 MiB or more, and files over 4 GiB, compare truly.
  const std::uint64_t size = fs::file_size(path);
  const std::uint64_t limit = std::uint64_t{maxFileSize} * 1048576u;
  if (size <= limit) return;
  const fs::path old(filePath(fileName + MediaKeys::kOldSuffix));
  if (fs::exists(old)) fs::remove(old);
  fs::rename(path, old);
}

std::size_t DiskMedia::writeRecords(int fd, const std::vector<LogRecord>& list,
                                    std::size_t& partialBytes, int& error) {
  std::size_t next = 0;
  while (next < list.size()) {
    const std::size_t first = next;
    batch.clear();
    while (next < list.size() && batch.size() < kChunkBytes) {
      list[next].appendLineForm(batch);
      batch += kLineEnd;
      ++next;
    }
    std::size_t done = 0;
    while (done < batch.size()) {
      ssize_t n = ::write(fd, batch.data() + done, batch.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        error = n < 0 ? errno : ENOSPC;
        break;
      }
    }
    if (done == batch.size()) continue;
    // Count the records of this chunk that reached the file whole.
    std::size_t whole = first, bytes = 0;
    while (whole < next && bytes + list[whole].lineFormSize() + 1 <= done) {
      bytes += list[whole].lineFormSize() + 1;
      ++whole;
    }
    partialBytes = done - bytes;
    return whole;
  }
  return list.size();
}

void DiskMedia::enforceRetention(std::vector<LogRecord>& list) {
  const std::size_t bound = std::max<std::size_t>(kRetainedRecords, bufferSize);
  if (list.size() <= bound) return;
  // Drop a tenth of the bound at once, so that a long outage does not shift the list per line.
  const std::size_t excess = list.size() - bound + bound / 10;
  const std::size_t drop = std::min(excess, list.size());
  list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(drop));
  droppedRecords += drop;
}

std::string DiskMedia::takeDropReport() {
  if (droppedRecords == 0) return "";
  std::string report = "log files unwritable: dropped the " + std::to_string(droppedRecords) +
                       " oldest buffered records beyond the bound of " +
                       std::to_string(std::max<std::size_t>(kRetainedRecords, bufferSize));
  droppedRecords = 0;
  return report;
}

void DiskMedia::reportLoss(const std::vector<LogRecord>& list, const std::string& fileName,
                           const std::string& failure) const {
  if (list.empty()) return;
  const std::string path = filePath(fileName);
  const std::string why = failure.empty() ? " was not flushed before the logger stopped"
                                          : " could not be written (" + failure + ")";
  std::fprintf(stderr, "%s%zu record%s lost: %s%s\n", WorkerErrorReporter::kPrefix, list.size(),
               list.size() == 1 ? "" : "s", path.c_str(), why.c_str());
  std::fflush(stderr);
}
