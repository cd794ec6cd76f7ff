#include "logger/media/DiskMedia.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "logger/core/WorkerErrorReporter.h"
#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"
#include "platform/AppendFile.h"
#include "platform/FileLock.h"

namespace fs = boost::filesystem;

namespace {
constexpr const char* kKeptNote = " (records kept for the next flush)";

std::string joined(const std::string& first, const std::string& second) {
  return first.empty() ? second : second.empty() ? first : first + "; " + second;
}

// Writes every line feed of text[begin, end) as the platform's line end, in place, growing text
// where needed so that a line end still fits after it; returns the new end. Nothing changes where
// the line end is a line feed.
std::size_t widenLineFeeds(std::string& text, std::size_t begin, std::size_t end) {
  const std::size_t extra = AppendFile::kLineEndSize - 1;
  if (extra == 0) return end;
  const auto first = text.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto feeds = static_cast<std::size_t>(
      std::count(first, text.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
  if (feeds == 0) return end;
  const std::size_t wideEnd = end + feeds * extra;
  const std::size_t room = wideEnd + AppendFile::kLineEndSize;
  if (text.size() < room) text.resize(std::max(room, 2 * text.size()));
  // From the back, so that every byte moves once and none is overwritten before it has moved.
  for (std::size_t from = end, to = wideEnd; from > begin;) {
    const char c = text[--from];
    if (c == '\n') {
      to -= AppendFile::kLineEndSize;
      std::memcpy(&text[to], AppendFile::kLineEnd, AppendFile::kLineEndSize);
    } else {
      text[--to] = c;
    }
  }
  return wideEnd;
}
}  // namespace

DiskMedia::DiskMedia()
    : directory(configuredDirectory()),
      bufferSize(configuredNumber(MediaKeys::kBufferSize, MediaKeys::kDefaultBufferSize)),
      maxFileSize(configuredNumber(MediaKeys::kMaxFileSize, MediaKeys::kDefaultMaxFileSize)),
      flushSeconds(configuredNumber(MediaKeys::kFlushSeconds, 0)) {}

fs::path DiskMedia::configuredDirectory() {
  std::string varPath;
  if (ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope)
          ->getValue(MediaKeys::kVarPath, varPath) != 0) {
    varPath = MediaKeys::kDefaultVarPath;
  }
  return varPath;
}

uint32_t DiskMedia::configuredNumber(const char* key, uint32_t fallback) {
  uint32_t value = fallback;
  ConfigNumber::read(*ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope),
                     key, value);
  return value;
}

DiskMedia::~DiskMedia() {
  try {
    reportLoss(mainRecords, MediaKeys::kMainLogName, mainState.last);
    reportLoss(interfaceRecords, MediaKeys::kInterfacesLogName, interfaceState.last);
  } catch (...) {
    // Out of memory for the report's text: the records go unreported rather than the process.
  }
}

void DiskMedia::write(const std::string& line) {
  const LogRecord::Fields fields(line);
  RecordList& list = fields.source().find(MediaKeys::kInterfaceMarker) != std::string_view::npos
                         ? interfaceRecords
                         : mainRecords;
  list.append(fields);
  enforceRetention(list);
  // Counting arrivals rather than buffered records: while a file is unwritable, its kept records
  // do not make every line retry, and the other file still gets a batch per bufferSize records.
  ++sinceFlush;
  if (fields.level() == MediaKeys::kErrorLevel || sinceFlush >= bufferSize) flush();
  std::string dropped = takeDropReport();
  if (!dropped.empty()) throw std::runtime_error(dropped);
}

void DiskMedia::flush() {
  sinceFlush = 0;
  heldSince = Clock::time_point::max();
  mainState.last = flushFile(mainRecords, MediaKeys::kMainLogName, mainState.lockStuck);
  interfaceState.last =
      flushFile(interfaceRecords, MediaKeys::kInterfacesLogName, interfaceState.lockStuck);
  const FileFlush& main = mainState.last;
  const FileFlush& interfaces = interfaceState.last;
  std::string problems;
  std::size_t count = 0;
  const FileFlush* reported = nullptr;  // the last file with something to report
  for (const FileFlush* file : {&main, &interfaces}) {
    // A directory that cannot be made fails both files alike; it is reported once.
    if (file == &interfaces && main.reason == FileFlush::Reason::kNoDirectory &&
        interfaces.reason == FileFlush::Reason::kNoDirectory) {
      continue;
    }
    const std::string text = file->report();
    if (text.empty()) continue;
    problems = joined(problems, text);
    ++count;
    reported = file;
  }
  const std::string dropped = takeDropReport();
  if (!dropped.empty()) {
    problems = joined(problems, dropped);
    ++count;
    reported = nullptr;
  }
  if (count == 0) return;
  // A filesystem error that is the only failure leaves as it came, with its type.
  if (count == 1 && reported && reported->exception) std::rethrow_exception(reported->exception);
  throw std::runtime_error(problems);
}

std::string DiskMedia::getRawData() { return MediaKeys::kFileRawData; }

std::chrono::seconds DiskMedia::flushBound() { return std::chrono::seconds(flushSeconds); }

IStorageMedia::Clock::time_point DiskMedia::flushDue(Clock::time_point now) {
  if (flushSeconds == 0 || (mainRecords.empty() && interfaceRecords.empty())) {
    return Clock::time_point::max();
  }
  if (heldSince == Clock::time_point::max()) heldSince = now;
  const Clock::time_point due = heldSince + flushBound();
  if (now < due) return due;
  try {
    flush();
  } catch (...) {
    heldSince = now;
    throw;
  }
  return Clock::time_point::max();
}

std::uint64_t DiskMedia::lostLines() {
  return droppedInAll + (mainState.last.failed() ? mainRecords.size() : 0) +
         (interfaceState.last.failed() ? interfaceRecords.size() : 0);
}

std::string DiskMedia::filePath(const std::string& fileName) const {
  // The file names begin with a slash: the directory's text followed directly by the name.
  return directory.string() + fileName;
}

std::string DiskMedia::FileFlush::report() const {
  switch (reason) {
    case Reason::kWritten:
      return lockProblem;
    case Reason::kUnwritable:
      return joined(lockProblem, cause + kKeptNote);
    case Reason::kNoDirectory:
    case Reason::kThrown:
      break;
  }
  return joined(lockProblem, cause);
}

DiskMedia::FileFlush DiskMedia::flushFile(RecordList& list, const std::string& fileName,
                                          bool& lockStuck) {
  FileFlush result;
  try {
    flushRecords(list, fileName, lockStuck, result);
  } catch (const std::exception& e) {
    result.fail(FileFlush::Reason::kThrown, e.what());
    result.exception = std::current_exception();
  }
  return result;
}

bool DiskMedia::createDirectory(FileFlush& result) {
  boost::system::error_code error;
  if (fs::exists(directory, error)) return true;
  // false without an error: it appeared since the existence test, which is as good.
  fs::create_directory(directory, error);
  if (!error) return true;
  result.fail(FileFlush::Reason::kNoDirectory,
              "cannot create the log directory " + directory.string() + ": " + error.message() +
                  " (set " + MediaKeys::kVarPath +
                  " to a directory that exists or whose parent does)");
  return false;
}

void DiskMedia::flushRecords(RecordList& list, const std::string& fileName, bool& lockStuck,
                             FileFlush& result) {
  const std::string path = filePath(fileName);
  // The file opens without blocking (AppendFile): a FIFO without a reader fails the open instead of
  // waiting for one, and a character device that cannot take a write at once fails it.
  //
  // Usually the file opens at once, and what the open learnt says all that the directory test and
  // the rotation test would: the directory exists (an empty directory text excepted, which names
  // no directory although its log path opens), and the file's kind and size. Otherwise, and when
  // the file is due for rotation, the checks run one by one, each failure reported as it comes.
  AppendFile file;
  if (!directory.empty() && !file.open(path) && file.kind() == AppendFile::Kind::kRegular &&
      file.size() > rotationLimit()) {
    file.close();
  }
  if (!file.isOpen()) {
    if (!createDirectory(result)) return;
    rotateIfNeeded(fileName, lockStuck, result);
    if (const std::error_code error = file.open(path)) {
      result.fail(FileFlush::Reason::kUnwritable,
                  "cannot open " + path + ": " + error.message() +
                      (error == std::errc::no_such_device_or_address
                           ? " (a FIFO without a reader, a socket or an absent device)"
                           : ""));
      return;
    }
  }
  if (file.kind() != AppendFile::Kind::kRegular &&
      file.kind() != AppendFile::Kind::kCharacterDevice) {
    result.fail(FileFlush::Reason::kUnwritable, "cannot open " + path + ": it is " +
                                                    AppendFile::describe(file.kind()) +
                                                    ", not a regular file");
    return;
  }

  std::error_code error;
  const std::string_view bytes = list.bytes();
  // A record cut off is taken back, so that the retry writes it whole and only once. Where that
  // fails the fragment stays; the record is still retried.
  const std::size_t written = file.writeRecords(bytes, list.ends(), error);
  file.close();

  if (written == list.size()) {
    list.clear();
    return;
  }
  list.dropFront(written);
  result.fail(FileFlush::Reason::kUnwritable, "cannot write " + path + ": " + error.message());
}

std::uint64_t DiskMedia::rotationLimit() const {
  // 64-bit on both sides of the test: a limit of 4096 MiB or more, and files over 4 GiB, compare
  // truly.
  return std::uint64_t{maxFileSize} * 1048576u;
}

bool DiskMedia::rotationDue(const fs::path& path) const {
  // Only a regular file has a size to rotate by; a character device is written as it is, and
  // anything else is refused when it is opened.
  return fs::is_regular_file(path) && fs::file_size(path) > rotationLimit();
}

void DiskMedia::rotateIfNeeded(const std::string& fileName, bool& lockStuck, FileFlush& result) {
  const fs::path path(filePath(fileName));
  if (!rotationDue(path)) return;
  const std::string lockPath = filePath(fileName + MediaKeys::kLockSuffix);
  FileLock lock;
  if (const std::error_code error =
          lock.lock(lockPath, lockStuck ? std::chrono::milliseconds(0) : kLockPatience)) {
    lockStuck = error == std::errc::resource_unavailable_try_again;
    result.lockProblem = "cannot lock " + lockPath + " to rotate " + path.string() + ": " +
                         (lockStuck ? "another process holds it" : error.message()) +
                         " (not rotated; the records are appended all the same)";
    return;
  }
  lockStuck = false;
  // Another process may have rotated the file between this one's test and the lock.
  if (!rotationDue(path)) return;
  const fs::path old(filePath(fileName + MediaKeys::kOldSuffix));
  if (fs::exists(old)) fs::remove(old);
  fs::rename(path, old);
}

void DiskMedia::enforceRetention(RecordList& list) {
  const std::size_t bound = std::max<std::size_t>(kRetainedRecords, bufferSize);
  if (list.size() <= bound) return;
  // Drop a tenth of the bound at once, so that a long outage does not shift the list per line.
  const std::size_t excess = list.size() - bound + bound / 10;
  const std::size_t drop = std::min(excess, list.size());
  list.dropFront(drop);
  droppedRecords += drop;
  droppedInAll += drop;
}

std::string DiskMedia::takeDropReport() {
  if (droppedRecords == 0) return "";
  std::string report = "log files unwritable: dropped the " + std::to_string(droppedRecords) +
                       " oldest buffered records beyond the bound of " +
                       std::to_string(std::max<std::size_t>(kRetainedRecords, bufferSize));
  droppedRecords = 0;
  return report;
}

void DiskMedia::reportLoss(const RecordList& list, const std::string& fileName,
                           const FileFlush& last) const {
  if (list.empty()) return;
  const std::string path = filePath(fileName);
  const std::string why = last.failed() ? " could not be written (" + last.cause + ")"
                                        : " was not flushed before the logger stopped";
  std::fprintf(stderr, "%s%zu record%s lost: %s%s\n", WorkerErrorReporter::kPrefix, list.size(),
               list.size() == 1 ? "" : "s", path.c_str(), why.c_str());
  std::fflush(stderr);
}

void DiskMedia::RecordList::append(const LogRecord::Fields& fields) {
  // The text grows by doubling and never shrinks, so that appending neither allocates nor fills
  // bytes that the line form overwrites at once.
  const std::size_t room = used + fields.maxLineFormSize() + AppendFile::kLineEndSize;
  if (text.size() < room) text.resize(std::max(room, 2 * text.size()));
  std::size_t end = static_cast<std::size_t>(fields.writeLineForm(&text[used]) - text.data());
  end = widenLineFeeds(text, used, end);
  std::memcpy(&text[end], AppendFile::kLineEnd, AppendFile::kLineEndSize);
  used = end + AppendFile::kLineEndSize;
  recordEnds.push_back(used);
}

void DiskMedia::RecordList::dropFront(std::size_t count) {
  const std::size_t bytes = bytesOf(count);
  text.erase(0, bytes);
  used -= bytes;
  recordEnds.erase(recordEnds.begin(), recordEnds.begin() + static_cast<std::ptrdiff_t>(count));
  for (std::size_t& end : recordEnds) end -= bytes;
}

void DiskMedia::RecordList::clear() {
  used = 0;
  recordEnds.clear();
}
