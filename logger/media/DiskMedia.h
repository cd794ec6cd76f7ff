// A medium that keeps the log in two text files, written in batches and rotated by size.
//
// write() splits each line into a record and buffers it: records whose source (field 4) contains
// "_interface" go to "/tarvo_interfaces.log", all others to "/tarvolog.log", both in the
// directory "Directories/VarPath". Both lists are appended to their files when together they hold
// "TarvoLogger/BufferSize" records, when a record's level is exactly "ERROR", and at flush().
// Before each append a file larger than "TarvoLogger/MaxFileSize" MiB is renamed to its ".old"
// copy:
//   tarvolog.log -> tarvolog.log.old   (the previous .old is removed first)
//
// Nothing is lost to a file that cannot be written: records that did not reach their file stay
// buffered and are retried at the next flush, and records that did reach it are never written
// twice. After a failed flush, write() tries again once bufferSize more records have arrived (an
// "ERROR" record or flush() tries at once). While a file stays unwritable each list keeps at most
// kRetainedRecords records (or bufferSize, if larger); beyond that the oldest are dropped. Every
// failure, and every drop, leaves write() or flush() as an exception after the lists are
// consistent, for the caller to report.
//
// The worker thread calls write() and flush(); getRawData() touches no member and may be called
// from any thread. The destructor does not flush.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "logger/core/IStorageMedia.h"
#include "logger/media/LogRecord.h"

class DiskMedia final : public IStorageMedia {
 public:
  static constexpr std::size_t kRetainedRecords = 100000;

  DiskMedia();
  DiskMedia(const DiskMedia&) = delete;
  DiskMedia& operator=(const DiskMedia&) = delete;

  void write(const std::string& line) override;
  void flush() override;
  std::string getRawData() override;

 private:
  // Appends list to the file and removes what reached it. Returns a description of a write
  // failure ("" when none); filesystem errors of the directory and rotation steps propagate.
  std::string flushRecords(std::vector<LogRecord>& list, const std::string& fileName);
  void rotateIfNeeded(const std::string& fileName);
  // Writes the records in line form, each followed by a line end. Returns how many records
  // reached the file whole; bytes of a record that was cut short are counted in partialBytes.
  std::size_t writeRecords(int fd, const std::vector<LogRecord>& list, std::size_t& partialBytes,
                           int& error);
  std::string filePath(const std::string& fileName) const;
  // Drops the oldest records of list beyond the retention bound and counts them. Called where
  // records are added (write); a flush only ever shortens the lists.
  void enforceRetention(std::vector<LogRecord>& list);
  std::string takeDropReport();

  // Constant after construction
  boost::filesystem::path directory;
  uint32_t bufferSize;
  uint32_t maxFileSize;  // MiB

  // Worker thread only
  std::vector<LogRecord> mainRecords;
  std::vector<LogRecord> interfaceRecords;
  std::string batch;                 // line forms on their way to a file
  std::uint64_t droppedRecords = 0;  // dropped since the last report
  std::uint64_t flushAt = 0;         // buffered count at which write() flushes
};
