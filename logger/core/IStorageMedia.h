// Where the logger core puts the lines it takes from the pipe.
//
// The core is a medium's only holder. write() and flush() are called only on the core's worker
// thread, one at a time: write() once for every stored line, in pipe order, and flush() exactly
// once when the worker ends, with no write() after it. getRawData() may be called at any moment
// from the thread that answers bus requests, also during a write(); a medium whose write() and
// getRawData() share state guards it with a lock of its own. The destructor runs after the worker
// has ended. lostLines() is called on the worker thread, after write() and flush(): the lines
// lost so far (dropped, not sent, or held after a failed write and so lost if the medium ended
// now); a medium that cannot lose a line keeps the default.
#pragma once

#include <cstdint>
#include <string>

struct IStorageMedia {
  virtual ~IStorageMedia() {}
  virtual void write(const std::string& line) = 0;
  virtual void flush() = 0;
  virtual std::string getRawData() = 0;
  virtual std::uint64_t lostLines() { return 0; }
};
