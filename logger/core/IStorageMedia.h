// Where the logger core puts the lines it takes from the pipe.
//
// The core is a medium's only holder. writeBurst() and flush() are called only on the core's
// worker thread, one at a time: writeBurst() with the lines to store of every burst the worker
// takes, in pipe order (its default hands each to write()), and flush() exactly once when the
// worker ends, with no write after it. getRawData() may be called at any moment
// from the thread that answers bus requests, also during a write(); a medium whose write() and
// getRawData() share state guards it with a lock of its own. The destructor runs after the worker
// has ended. lostLines() is called on the worker thread, after write() and flush(): the lines
// lost so far (dropped, not sent, or held after a failed write and so lost if the medium ended
// now); a medium that cannot lose a line keeps the default.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct IStorageMedia {
  // Told of one line that could not be stored, with the reason; on the worker thread.
  using LineFailed = std::function<void(const std::exception& error)>;

  virtual ~IStorageMedia() {}
  // Stores one line; throws when it cannot.
  virtual void write(const std::string& line) = 0;
  // Stores the lines in order, each done when this returns; a medium that stores several lines
  // together more cheaply than one by one does so here. A line that fails goes to failed() and
  // the lines after it still go. The lines are valid during the call.
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
  virtual void flush() = 0;
  virtual std::string getRawData() = 0;
  virtual std::uint64_t lostLines() { return 0; }
};
