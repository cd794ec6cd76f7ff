// The default medium: the most recent records in a fixed-capacity ring in memory, its capacity
// from "TarvoLogger/BufferSize" (plug-in scope, 0 to 65535, default 20; 0 stores nothing). The
// worker thread calls write() and flush(); any thread may call getRawData(). The mutex guards
// the ring.
#pragma once

#include <boost/circular_buffer.hpp>
#include <string>
#include <vector>

#include "logger/core/IStorageMedia.h"
#include "logger/core/ThreadAnnotations.h"
#include "logger/media/LogRecord.h"

class CircularMedia final : public IStorageMedia {
 public:
  CircularMedia();
  CircularMedia(const CircularMedia&) = delete;
  CircularMedia& operator=(const CircularMedia&) = delete;

  // Records whose source (field 4) contains "_interface" are not kept. The line is split and
  // tested in place before it is taken, so the lock is held only to copy the record's bytes into
  // its slot (once the ring is full, into the storage of the record it replaces).
  void write(const std::string& line) override EXCLUDES(mutex);
  // Stores only the lines of the burst that stay in the ring, under one lock.
  void writeBurst(const std::vector<const std::string*>& lines, const LineFailed& failed) override
      EXCLUDES(mutex);
  void flush() override;
  // Every record, oldest first, each in line form followed by "\r\n".
  std::string getRawData() override EXCLUDES(mutex);

  std::size_t capacity() EXCLUDES(mutex);

 private:
  // Copies the record into the newest slot.
  void keep(const LogRecord::Fields& fields) REQUIRES(mutex);

  // Worker thread only: the records of a burst that stay, newest first, reused from burst to burst.
  std::vector<LogRecord::Fields> kept;

  // Guarded by mutex
  Mutex mutex;
  boost::circular_buffer<LogRecord> ring GUARDED_BY(mutex);
};
