// The host's message bus: one delivery thread, exact topic matching, delivery in send order.
// The process has one (processInstance()), which MessageDispatcher::getInstance() returns unless
// the host installs another; tests may create their own. All operations are thread-safe; see
// MessageDispatcher for the unsubscribe guarantee.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "logger/core/ThreadAnnotations.h"
#include "logger/host/HostApi.h"
#include "logger/host/MessageDispatcher.h"

class HOST_API BusDispatcher final : public MessageDispatcher {
 public:
  // The process-wide bus; created on first use and never destroyed, so that sinks and plug-ins
  // may leave it from static destructors.
  static BusDispatcher& processInstance();
  // In a forked child, where the bus's delivery thread does not exist: the next processInstance()
  // makes a fresh bus, and the parent's is left as it is, never used or destroyed.
  static void forgetProcessInstanceInChild();

  BusDispatcher();
  BusDispatcher(const BusDispatcher&) = delete;
  BusDispatcher& operator=(const BusDispatcher&) = delete;
  // Delivers what is still queued, then joins the delivery thread.
  ~BusDispatcher() override;

  // Whatever a sink's onMessage throws is reported on standard error (the topic, the message type
  // and the cause, one line) and delivery goes on.
  void send(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex);
  void subscribe(IMessageSink* sink, const std::string& topic) override EXCLUDES(mutex);
  void unsubscribe(IMessageSink* sink, const std::string& topic) override EXCLUDES(mutex);

  // Blocks until every message sent before the call has been delivered and released, except
  // those waiting for a held sink. Hosts call it before unloading a library whose payloads may
  // still sit in the queue. On the delivery thread itself it returns at once.
  void drain() EXCLUDES(mutex);

  // A host holds a sink while it runs one of the sink's lifecycle calls (start, shutdown,
  // destruction), so that no delivery overlaps the call; other sinks are served as usual meanwhile.
  // hold() waits until no delivery to sink runs (unless called on the delivery thread) and keeps
  // later ones back until the matching release(). Holds nest. After release() the sink gets what
  // was held back, in send order, before anything newer, even a message whose delivery to other
  // sinks was under way. Leaving the bus (unsubscribe) drops what waits for the sink on the topics
  // it leaves; the messages are destroyed after the bus is unlocked, wherever unsubscribe runs.
  void hold(IMessageSink* sink) EXCLUDES(mutex);
  void release(IMessageSink* sink) EXCLUDES(mutex);

 private:
  struct Delivery {
    IMessageSink* sink;
    boost::shared_ptr<LocalMessage> message;
  };

  void run() EXCLUDES(mutex);
  bool isSubscribedLocked(IMessageSink* sink, const std::string& topic) const REQUIRES(mutex);
  bool hasReleasedLocked(IMessageSink* sink) const REQUIRES(mutex);
  // Delivers message to sink unless the sink left its topic, is held (then it waits in
  // heldBack), or, for a message fromQueue, still has released messages waiting (then it goes
  // behind them in released). Called with lock held; unlocks it around onMessage. What onMessage
  // throws is printed on standard error, and delivery goes on.
  // Its callers are checked; its body is not: clang cannot follow a lock that a caller passes in
  // and the callee unlocks.
  void deliverLocked(MutexLock& lock, IMessageSink* sink,
                     const boost::shared_ptr<LocalMessage>& message, bool fromQueue)
      REQUIRES(mutex) NO_THREAD_SAFETY_ANALYSIS;

  // Guarded by mutex
  Mutex mutex;
  std::condition_variable wake;  // the delivery thread waits for messages or stop
  std::condition_variable idle;  // unsubscribe and drain wait for deliveries to end
  std::deque<boost::shared_ptr<LocalMessage>> queue GUARDED_BY(mutex);
  std::map<std::string, std::vector<IMessageSink*>> subscriptions GUARDED_BY(mutex);
  std::map<IMessageSink*, unsigned> holds GUARDED_BY(mutex);  // sink -> nesting depth
  std::map<IMessageSink*, std::deque<Delivery>> heldBack
      GUARDED_BY(mutex);  // per held sink, in send order
  // Held back, then released: delivered before queue, in send order for each sink.
  std::deque<Delivery> released GUARDED_BY(mutex);
  IMessageSink* delivering GUARDED_BY(mutex) = nullptr;
  bool busy GUARDED_BY(mutex) =
      false;  // a message has been taken from the queue and is not yet released
  bool stopping GUARDED_BY(mutex) = false;

  // Started last, once every member that run() uses exists; joined by the destructor.
  std::thread thread;
  // Constant after construction: the id of thread, which is why it comes after it
  const std::thread::id deliveryThreadId;
};
