#include "logger/core/MainLoggerCore.h"

#include <boost/bind/bind.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <chrono>
#include <deque>
#include <exception>

#include "logger/host/ConfigurationManager.h"
#include "logger/host/OwnThreads.h"
#include "logger/media/CircularMedia.h"
#include "logger/media/ConsoleMedia.h"
#include "logger/media/DiskMedia.h"
#include "logger/media/MediaKeys.h"
#include "logger/media/UdpMedia.h"
#include "platform/BriefNap.h"

MainLoggerCore::MainLoggerCore() : MainLoggerCore(createMedium()) {}

MainLoggerCore::MainLoggerCore(boost::shared_ptr<IStorageMedia> theMedium)
    : medium(std::move(theMedium)), counters(boost::make_shared<WorkerCounters>()) {
  pipe.reset(new safe_pipe<std::string>());
  worker.reset(new boost::thread(boost::bind(&MainLoggerCore::run, this)));
}

MainLoggerCore::~MainLoggerCore() {
  stop();
  // Members go in reverse order of declaration: worker, then medium, then pipe.
}

boost::shared_ptr<IStorageMedia> MainLoggerCore::createMedium() {
  std::string format;
  if (ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope)
          ->getValue(MediaKeys::kStorageFormat, format) != 0) {
    format = MediaKeys::kFormatCircular;
  }
  if (format == MediaKeys::kFormatUdp) return boost::make_shared<UdpMedia>();
  if (format == MediaKeys::kFormatFile) return boost::make_shared<DiskMedia>();
  if (format == MediaKeys::kFormatConsole) return boost::make_shared<ConsoleMedia>();
  return boost::make_shared<CircularMedia>();
}

boost::shared_ptr<safe_pipe<std::string>> MainLoggerCore::getQueue() { return pipe; }

std::string MainLoggerCore::getRawData() { return medium->getRawData(); }

boost::shared_ptr<const WorkerCounters> MainLoggerCore::getCounters() const { return counters; }

void MainLoggerCore::reportError(const char* operation, const std::string& error) noexcept {
  // Reporting never throws: a report that fails must not stop the worker or the rest of a burst.
  // The medium counts the line lost all the same.
  try {
    errors.report(operation, error);
  } catch (...) {
    // Out of memory for the report's text.
  }
  try {
    counters->setLastError(std::string(operation) + " failed: " + error);
  } catch (...) {
    // Out of memory for the text: the error was printed all the same.
  }
}

std::string MainLoggerCore::stopLine() const {
  // The core's address as a stream prints it: unique to this core, and at most 20 characters.
  return boost::lexical_cast<std::string>(static_cast<const void*>(this));
}

void MainLoggerCore::stop() {
  // The stop line goes in twice: once before the flag is raised, so that every line pushed
  // before the stop is ahead of it, and once after, to wake a worker waiting on an empty pipe.
  const std::string line = stopLine();
  pipe->push(line);
  stopping.store(true, std::memory_order_release);
  pipe->push(line);
  worker->join();
}

bool MainLoggerCore::takeBurst(std::deque<std::string>& burst,
                               IStorageMedia::Clock::time_point deadline) {
  burst.clear();
  try {
    // Cancelled: the burst stays empty, which is handled as one empty line (dropped).
    if (deadline == IStorageMedia::Clock::time_point::max()) {
      pipe->popAll(burst);
    } else {
      pipe->popAllUntil(burst, deadline);
    }
    return true;
  } catch (const std::exception& e) {
    reportError("pop", e.what());
  } catch (...) {
    reportError("pop", "unknown error");
  }
  return false;
}

std::chrono::seconds MainLoggerCore::askFlushBound() noexcept {
  try {
    return medium->flushBound();
  } catch (const std::exception& e) {
    reportError("flushBound", e.what());
  } catch (...) {
    reportError("flushBound", "unknown error");
  }
  return std::chrono::seconds::zero();
}

IStorageMedia::Clock::time_point MainLoggerCore::flushWhatIsDue(std::chrono::seconds bound) {
  const IStorageMedia::Clock::time_point now = IStorageMedia::Clock::now();
  try {
    return medium->flushDue(now);
  } catch (const std::exception& e) {
    reportError("flush", e.what());
  } catch (...) {
    reportError("flush", "unknown error");
  }
  publish(0, 0, 0);  // the records the failed flush kept count as lost by now
  return now + bound;
}

std::uint64_t MainLoggerCore::storeBurst(const std::deque<std::string>& burst,
                                         const std::string& stop,
                                         std::vector<const std::string*>& handed) {
  handed.clear();
  std::uint64_t stops = 0;
  for (const std::string& line : burst) {
    if (line.size() > kShortLine) {
      handed.push_back(&line);
    } else if (!stop.empty() && line == stop) {
      ++stops;
    }
  }
  if (!handed.empty()) {
    try {
      medium->writeBurst(handed,
                         [this](const std::exception& e) { reportError("write", e.what()); });
    } catch (const std::exception& e) {
      reportError("write", e.what());
    } catch (...) {
      reportError("write", "unknown error");
    }
  }
  publish(burst.size() - stops, burst.size() - stops - handed.size(), handed.size());
  return stops;
}

void MainLoggerCore::publish(std::uint64_t taken, std::uint64_t tooShort, std::uint64_t handed) {
  std::uint64_t lost = 0;
  try {
    lost = medium->lostLines();
  } catch (...) {
    // A medium that cannot count keeps its last count.
    lost = counters->snapshot().lost;
  }
  counters->add(taken, tooShort, handed, lost);
}

// A worker that waits on the pipe's condition as soon as it is empty makes the next writer wake it,
// a system call on the writer's side, line after line when the worker keeps up (several
// microseconds of a call that is otherwise a few hundred nanoseconds). After a small burst it
// sleeps a moment instead, off the condition, so that lines gather and writers signal nobody; at
// a few lines a second it still waits on the condition, and a line is stored at most this much
// later. Where sleeps last a whole timer tick (Windows) it goes straight back to the condition.
void MainLoggerCore::lingerForLines() {
  BriefNap::take(std::chrono::microseconds(kLingerMicroseconds));
}

void MainLoggerCore::run() {
  OwnThreads::markCurrent();
  std::string stop;
  try {
    stop = stopLine();
  } catch (const boost::bad_lexical_cast&) {
    // Without a stop text no short line ends the loop; nothing else depends on it.
  }
  // Without a flush bound the worker waits on the pipe for as long as no line comes and due stays
  // at max(). With one, the medium is asked after every burst when its oldest line falls due, and
  // the wait ends then at the latest.
  const std::chrono::seconds bound = askFlushBound();
  IStorageMedia::Clock::time_point due = IStorageMedia::Clock::time_point::max();
  // Lines are taken a burst at a time; each is handled exactly as if popped alone.
  std::deque<std::string> burst;
  std::vector<const std::string*> handed;
  bool ending = false;
  while (!ending) {
    if (!takeBurst(burst, due)) continue;
    // Once the flag is up, the core's first stop line is already in the pipe: every line pushed
    // before it is in this burst or still waiting. A client's copy of the text met before the
    // flag was raised is dropped like any short line. Neither is counted: the first stop line,
    // too, may come before the flag.
    if (storeBurst(burst, stop, handed) > 0 && stopping.load(std::memory_order_acquire)) {
      ending = true;
      continue;
    }
    if (bound.count() > 0) due = flushWhatIsDue(bound);
    if (burst.size() < kLingerBelow) lingerForLines();
  }
  // Take what is still waiting, the lines ahead of the core's stop line among it, and end.
  while (!pipe->empty()) {
    if (!takeBurst(burst, IStorageMedia::Clock::time_point::max())) break;
    storeBurst(burst, stop, handed);
    if (!burst.empty()) break;  // one sweep; lines pushed after it are after the stop
  }
  try {
    medium->flush();
  } catch (const std::exception& e) {
    reportError("flush", e.what());
  } catch (...) {
    reportError("flush", "unknown error");
  }
  publish(0, 0, 0);
  errors.finish();
}
