// The logger component: a host component that owns one logger core while running, and a bus sink
// that answers "GET_LOGGER_QUEUE", "GET_RAW_DATA" and "GET_LOGGER_STATS" on "target:/TarvoLogger".
// The host creates and destroys it through the library's entry points and makes the lifecycle
// calls one at a time from its own thread; onMessage() runs on the bus's delivery thread. The
// component owns the core alone.
#pragma once

#include <boost/shared_ptr.hpp>
#include <condition_variable>

#include "logger/core/ThreadAnnotations.h"
#include "logger/host/IComponent.h"
#include "logger/host/IMessageSink.h"

class MainLoggerCore;
class WorkerCounters;
class LocalMessage;

class TarvoLoggerPlugin : public IComponent, public IMessageSink {
 public:
  TarvoLoggerPlugin();
  TarvoLoggerPlugin(const TarvoLoggerPlugin&) = delete;
  TarvoLoggerPlugin& operator=(const TarvoLoggerPlugin&) = delete;
  // Leaves the bus first, while the whole object is still there, so no delivery reaches a
  // half-destroyed component; a component that still runs stops its core, so no worker outlives
  // it.
  ~TarvoLoggerPlugin() override;

  // Creates a core when there is none and subscribes once more each time; the subscription stays
  // until the component is destroyed.
  void start() override;
  // Prints the component's line and calls cleanup(), which destroys the core.
  void shutdown() override;
  void reserved() override;
  void cleanup() override EXCLUDES(mutex);

  // A request may arrive at any moment, also while a lifecycle call runs on another thread: it
  // borrows the core for the length of its answer, and cleanup() waits for the borrowers before it
  // destroys the core. "GET_LOGGER_STATS" is answered from the last core's counts, also after
  // shutdown.
  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex);

 private:
  // Delivery thread: the core to answer with (null when there is none), held until returned.
  MainLoggerCore* borrowCore() EXCLUDES(mutex);
  void returnCore() EXCLUDES(mutex);

  // Written by the lifecycle calls only, under mutex; read under mutex by requests. Not marked
  // GUARDED_BY: start() reads it without the lock, on the one thread that writes it.
  MainLoggerCore* core;  // owned; null while not running

  // Guarded by mutex
  Mutex mutex;
  std::condition_variable returned;  // signalled when the last borrower returns the core
  unsigned borrowers GUARDED_BY(mutex) = 0;
  // The counts of the last core started; kept after it is gone, to answer with its final counts.
  boost::shared_ptr<const WorkerCounters> counters GUARDED_BY(mutex);
};
