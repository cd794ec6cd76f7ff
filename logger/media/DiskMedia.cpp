#include "logger/media/DiskMedia.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"

namespace fs = boost::filesystem;

namespace {
// A batch goes to its file in writes of about this size.
constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr char kLineEnd = '\n';
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
  mainRecords.reserve(bufferSize);
  interfaceRecords.reserve(bufferSize);
  flushAt = bufferSize;
}

void DiskMedia::write(const std::string& line) {
  LogRecord record(line);
  std::vector<LogRecord>& list =
      record.source().find(MediaKeys::kInterfaceMarker) != std::string::npos ? interfaceRecords
                                                                             : mainRecords;
  list.push_back(std::move(record));
  enforceRetention(list);
  if (list.back().level() == MediaKeys::kErrorLevel ||
      mainRecords.size() + interfaceRecords.size() >= flushAt) {
    try {
      flush();
      flushAt = bufferSize;
    } catch (...) {
      // While a file is unwritable, retry once per bufferSize new records, not on every line.
      flushAt = mainRecords.size() + interfaceRecords.size() + bufferSize;
      throw;
    }
  }
  std::string dropped = takeDropReport();
  if (!dropped.empty()) throw std::runtime_error(dropped);
}

void DiskMedia::flush() {
  std::string problems = flushRecords(mainRecords, MediaKeys::kMainLogName);
  try {
    std::string more = flushRecords(interfaceRecords, MediaKeys::kInterfacesLogName);
    if (!more.empty()) problems += (problems.empty() ? "" : "; ") + more;
  } catch (const std::exception& e) {
    if (problems.empty()) throw;
    throw std::runtime_error(problems + "; " + e.what());
  }
  std::string dropped = takeDropReport();
  if (!dropped.empty()) problems += (problems.empty() ? "" : "; ") + dropped;
  if (!problems.empty()) throw std::runtime_error(problems);
}

std::string DiskMedia::getRawData() { return MediaKeys::kFileRawData; }

std::string DiskMedia::filePath(const std::string& fileName) const {
  // The file names begin with a slash: the directory's text followed directly by the name.
  return directory.string() + fileName;
}

std::string DiskMedia::flushRecords(std::vector<LogRecord>& list, const std::string& fileName) {
  // A directory that appeared since the existence test: leave the list for the next flush.
  if (!fs::exists(directory) && !fs::create_directory(directory)) return "";
  rotateIfNeeded(fileName);

  const std::string path = filePath(fileName);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    int error = errno;
    return "cannot open " + path + ": " + std::strerror(error) +
           " (records kept for the next flush)";
  }
  struct stat before {};
  bool sized = ::fstat(fd, &before) == 0;

  std::size_t partialBytes = 0;
  int error = 0;
  std::size_t written = writeRecords(fd, list, partialBytes, error);
  if (partialBytes > 0 && sized && S_ISREG(before.st_mode)) {
    // Take back the cut-off record, so that the retry writes it whole and only once.
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end >= 0 && ::ftruncate(fd, end - static_cast<off_t>(partialBytes)) != 0) {
      // The fragment stays; the record is still retried.
    }
  }
  ::close(fd);

  if (written == list.size()) {
    list.clear();  // keeps the room reserved for bufferSize records
    return "";
  }
  list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(written));
  return "cannot write " + path + ": " + std::strerror(error) +
         " (records kept for the next flush)";
}

void DiskMedia::rotateIfNeeded(const std::string& fileName) {
  const fs::path path(filePath(fileName));
  // Only a regular file has a size to rotate by; a log file linked to a device or a pipe is
  // written as it is.
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
