// Where the logger core puts the lines it takes from the pipe.
//
// The core is a medium's only holder. Its worker thread calls writeBurst(), flush(), lostLines(),
// flushBound() and flushDue(), one at a time; getRawData() may come at any moment from the thread
// that answers bus requests, so a medium whose writes and getRawData() share state guards it with
// its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct IStorageMedia {
  using Clock = std::chrono::steady_clock;
  // Told of one line that could not be stored, with the reason; on the worker thread.
  using LineFailed = std::function<void(const std::exception& error)>;

  virtual ~IStorageMedia() {}
  // Stores one line; throws when it cannot.
  virtual void write(const std::string& line) = 0;
  // The lines to store of each burst the worker takes, in pipe order, each done when this returns;
  // a medium that stores several lines together more cheaply than one by one does so here. A line
  // that fails goes to failed() and the lines after it still go. The lines are valid during the
  // call.
  virtual void writeBurst(const std::vector<const std::string*>& lines, const LineFailed& failed) {
    for (const std::string* line : lines) {
      try {
        write(*line);
      } catch (const std::exception& error) {
        failed(error);
      } catch (...) {
        failed(std::runtime_error("unknown error"));
      }
    }
  }
  // Once, when the worker ends, with no write after it: writes out whatever is still held.
  virtual void flush() = 0;
  // What a raw-data request answers; also during a write.
  virtual std::string getRawData() = 0;
  // After writes and flush(): the lines lost so far (dropped, not sent, or held after a failed
  // write and so lost if the medium ended now); a medium that cannot lose a line keeps the default.
  virtual std::uint64_t lostLines() { return 0; }
  // How long a line may wait in the medium before flushDue() writes it out; zero, the default, for
  // a medium that sets no such bound. Asked once, when the worker starts: only a medium with a
  // bound is called for flushDue(), and only for one does the worker wait on the pipe with a
  // time-out.
  virtual std::chrono::seconds flushBound() { return std::chrono::seconds::zero(); }
  // Writes out what has waited flushBound() or longer at now, and returns when it is to be called
  // again: Clock::time_point::max() while nothing waits. The worker calls it after every burst and
  // at the time it returned. Throws what flush() throws.
  virtual Clock::time_point flushDue(Clock::time_point now) {
    static_cast<void>(now);
    return Clock::time_point::max();
  }
};
