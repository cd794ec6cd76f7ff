// A medium that keeps the log in two text files in the directory "Directories/VarPath", written
// in batches and rotated by size: "/tarvo_interfaces.log" takes the records whose source (field 4)
// contains "_interface", "/tarvolog.log" all others. The medium is its buffers' only holder. The
// worker thread calls write(), flush() and flushDue(); getRawData() touches no member and may be
// called from any thread.
#pragma once

#include <boost/filesystem/path.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "logger/core/IStorageMedia.h"
#include "logger/media/LogRecord.h"

class DiskMedia final : public IStorageMedia {
 public:
  static constexpr std::size_t kRetainedRecords = 100000;
  // How long a flush waits for a rotation lock that another process holds. A rotation holds it
  // for a size test, a removal and a rename; a longer hold means a holder that has stopped.
  static constexpr std::chrono::milliseconds kLockPatience{1000};

  DiskMedia();
  DiskMedia(const DiskMedia&) = delete;
  DiskMedia& operator=(const DiskMedia&) = delete;
  // Does not flush. Records still buffered (the last flush failed) are lost, and it says so on
  // standard error, one line per file with its path and the last cause.
  ~DiskMedia() override;

  // Buffers the record. Both lists are appended to their files when together they hold
  // "TarvoLogger/BufferSize" records and when a record's level is exactly "ERROR". The lists grow
  // with the records actually buffered; nothing is sized by BufferSize up front, so any value up
  // to 4294967295 is usable. After a failed flush, write() tries again once bufferSize more
  // records have arrived. While a file stays unwritable each list keeps at most kRetainedRecords
  // records (or bufferSize, if larger); beyond that the oldest are dropped, and the drop leaves
  // as a std::runtime_error for the caller to report.
  void write(const std::string& line) override;
  // Appends both lists to their files. Nothing is lost to a file that cannot be written: records
  // that did not reach their file stay buffered and are retried at the next flush, and records
  // that did reach it are never written twice. The two files fail alone: a failed directory
  // check, rotation, open or write of one leaves the other's batch written as usual. Once both
  // files were attempted, every failure and every drop leaves as one exception: a filesystem error
  // that is the only failure as it came, anything else as a std::runtime_error joining the
  // reports with "; ".
  void flush() override;
  std::string getRawData() override;
  // Records dropped beyond the bound, and records held after a failed flush.
  std::uint64_t lostLines() override;
  // "TarvoLogger/FlushSeconds": how long a record waits in the lists at most; zero when it is not
  // set, or set to 0 or to no number, and then the batches end only as write() says.
  std::chrono::seconds flushBound() override;
  // With a bound, flushes both lists once the oldest record has waited that long. The wait is
  // timed from the first call that finds records buffered since the last flush, so the worker
  // calls it after every burst. Records that a flush here could not write are timed afresh from
  // now: they are tried again a bound later, not after every burst. Opens nothing while the lists
  // are empty.
  //   FlushSeconds=1: write(a) at 0.0 s, flushDue(0.0) -> 1.0; write(b) at 0.7 s,
  //   flushDue(0.7) -> 1.0; flushDue(1.0) writes a and b -> max()
  Clock::time_point flushDue(Clock::time_point now) override;

 private:
  // Buffered records of one file, oldest first: their line forms, each with its line end, back to
  // back in text, and where each ends. write() formats each line straight into its list's text,
  // ended by the platform's line end ("\n", or "\r\n" on Windows: AppendFile), so that a batch
  // leaves with one write() and nothing is split into fields, copied or formatted twice. On
  // Windows a line feed inside a field becomes "\r\n" as well, as a text-mode stream writes it;
  // the text holds the file's bytes, so partial writes and take-backs count them exactly.
  class RecordList {
   public:
    void append(const LogRecord::Fields& fields);
    std::size_t size() const { return recordEnds.size(); }
    bool empty() const { return recordEnds.empty(); }
    std::string_view bytes() const { return std::string_view(text.data(), used); }
    // One past each record's line end, in bytes().
    const std::vector<std::size_t>& ends() const { return recordEnds; }
    // Byte length of the first count records.
    std::size_t bytesOf(std::size_t count) const { return count == 0 ? 0 : recordEnds[count - 1]; }
    // Removes the oldest count records; clear() keeps the room of the largest batch so far.
    void dropFront(std::size_t count);
    void clear();

   private:
    std::string text;  // the first used bytes hold records; the rest is room
    std::size_t used = 0;
    std::vector<std::size_t> recordEnds;  // one past each record's line end, in text
  };

  // What one file's flush came to, carried from the step that failed to flush(), which builds its
  // report and decides what to throw from the two files' results alone.
  struct FileFlush {
    enum class Reason {
      kWritten,      // every record reached the file
      kUnwritable,   // the file could not be opened or written; its records wait for the next flush
      kNoDirectory,  // the log directory could not be made, which fails both files alike
      kThrown,       // a step threw (a filesystem call of the rotation, say); exception holds it
    };
    Reason reason = Reason::kWritten;
    std::string cause;             // the failure as reported, naming the path; "" when written
    std::exception_ptr exception;  // for kThrown: thrown again as it came when it is the only one
    std::string lockProblem;       // why the file was not rotated for want of the lock, or ""

    bool failed() const { return reason != Reason::kWritten; }
    void fail(Reason why, std::string text) {
      reason = why;
      cause = std::move(text);
    }
    // The lock problem and the failure, as this file's part of the report; "" when neither.
    std::string report() const;
  };

  // One file's flushes.
  struct FileState {
    FileFlush last;          // the last flush
    bool lockStuck = false;  // a wait for the lock ran out, and the lock was not had since
  };

  // The settings the constructor reads, each with its default when it is absent (or, for a
  // number, not one).
  static boost::filesystem::path configuredDirectory();
  static uint32_t configuredNumber(const char* key, uint32_t fallback);

  // Appends list to its file, removes what reached it, and returns what became of it; whatever a
  // step throws ends up in the result.
  FileFlush flushFile(RecordList& list, const std::string& fileName, bool& lockStuck);
  // The steps of flushFile, noted in result; a filesystem error of the rotation propagates. A
  // flush costs one open, one fstat and one close per file (and the write); the directory test
  // and the rotation's own calls run only when that open fails or the file has outgrown its limit.
  //
  // A log path is written only if it is a regular file or a character device, and it is opened
  // without blocking (AppendFile). A FIFO without a reader and a socket fail the open (ENXIO); a
  // FIFO with a reader or a block device is refused after the open; either is reported like an
  // unwritable file. A FIFO is refused even with a reader because a stalled reader would cut
  // records in the middle, a cut record cannot be taken back from a pipe, and a reader that leaves
  // raises SIGPIPE in the host. A character device (/dev/null, /dev/full, a terminal) is written
  // as it is, but a write it would block is a failure (EAGAIN), so the worker, and with it the
  // shutdown, never waits on a log path.
  void flushRecords(RecordList& list, const std::string& fileName, bool& lockStuck,
                    FileFlush& result);
  // Makes the log directory when it does not exist. False, with result failed for kNoDirectory
  // (naming the directory and the setting), when it cannot be made.
  bool createDirectory(FileFlush& result);
  // Rotates the file when it is larger than "TarvoLogger/MaxFileSize" MiB:
  //   tarvolog.log -> tarvolog.log.old   (the previous .old is removed first)
  // Every process that loads the plug-in writes the same two files by default, so the rotation is
  // shared: its size test and move run under an exclusive lock (FileLock) on a lock file beside
  // the log, "tarvolog.log.lock" for "tarvolog.log", and the size is tested again once the lock
  // is held. Without it two processes that found the file over its limit would both move "their"
  // file to .old, the second removing the generation that the first had just moved there. The
  // lock is taken only when a rotation looks due, never on the usual append; each batch stays one
  // append, so that on a local file system the processes' batches never mix. The lock files stay.
  //
  // A lock that cannot be had (an unwritable directory, or a holder that keeps it past
  // kLockPatience) leaves the file as it is and says why in result.lockProblem; the batch is
  // appended all the same, the file growing past its limit until a later flush gets the lock.
  // After a wait that ran out, lockStuck makes that file's later flushes try the lock without
  // waiting until they get it, so that a stopped holder cannot slow every flush.
  void rotateIfNeeded(const std::string& fileName, bool& lockStuck, FileFlush& result);
  // A regular file over the limit.
  bool rotationDue(const boost::filesystem::path& path) const;
  // The size in bytes past which a regular log file is rotated.
  std::uint64_t rotationLimit() const;
  std::string filePath(const std::string& fileName) const;
  // Drops the oldest records of list beyond the retention bound and counts them. Called where
  // records are added (write); a flush only ever shortens the lists.
  void enforceRetention(RecordList& list);
  std::string takeDropReport();
  // Prints how many records of list are lost, and why, when the medium goes.
  void reportLoss(const RecordList& list, const std::string& fileName, const FileFlush& last) const;

  // Constant after construction
  const boost::filesystem::path directory;
  const uint32_t bufferSize;
  const uint32_t maxFileSize;   // MiB
  const uint32_t flushSeconds;  // 0: no flush bound

  // Worker thread only (and the destructor, which runs after the worker has ended)
  RecordList mainRecords;
  RecordList interfaceRecords;
  FileState mainState;               // the flushes of mainRecords
  FileState interfaceState;          // the same for interfaceRecords
  std::uint64_t droppedRecords = 0;  // dropped since the last report
  std::uint64_t droppedInAll = 0;    // dropped since construction
  std::uint64_t sinceFlush = 0;      // records written since the last flush, failed or not
  // When flushDue() first found the records now buffered; max() when none was found since the
  // last flush.
  Clock::time_point heldSince = Clock::time_point::max();
};
