// The host's message bus: one delivery thread, exact topic matching, delivery in send order.
//
// The process has one BusDispatcher (processInstance()), which MessageDispatcher::getInstance()
// returns unless the host installs another. Tests may create their own. All operations are
// thread-safe; see MessageDispatcher for the unsubscribe guarantee. Whatever a sink's onMessage
// throws is reported on standard error (the topic, the message type and the cause, one line) and
// delivery goes on.
//
// A host holds a sink while it runs one of the sink's lifecycle calls (start, shutdown,
// destruction): messages for a held sink wait, in order, and are delivered after release(), so
// no delivery overlaps the call. Other sinks are served as usual meanwhile.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logger/host/HostApi.h"
#include "logger/host/MessageDispatcher.h"

class HOST_API BusDispatcher final : public MessageDispatcher {
 public:
  // The process-wide bus; created on first use and never destroyed, so that sinks and plug-ins
  // may leave it from static destructors.
  static BusDispatcher& processInstance();

  BusDispatcher();
  BusDispatcher(const BusDispatcher&) = delete;
  BusDispatcher& operator=(const BusDispatcher&) = delete;
  // Delivers what is still queued, then joins the delivery thread.
  ~BusDispatcher() override;

  void send(boost::shared_ptr<LocalMessage> message) override;
  void subscribe(IMessageSink* sink, const std::string& topic) override;
  void unsubscribe(IMessageSink* sink, const std::string& topic) override;

  // Blocks until every message sent before the call has been delivered and released, except
  // those waiting for a held sink. Hosts call it before unloading a library whose payloads may
  // still sit in the queue. On the delivery thread itself it returns at once.
  void drain();

  // hold() waits until no delivery to sink runs (unless called on the delivery thread) and keeps
  // later ones back until the matching release(). Holds nest. After release() the sink gets what
  // was held back, in send order, before anything newer, even a message whose delivery to other
  // sinks was under way. Leaving the bus (unsubscribe) drops what waits for the sink on the topics
  // it leaves; the messages are destroyed after the bus is unlocked, wherever unsubscribe runs.
  void hold(IMessageSink* sink);
  void release(IMessageSink* sink);

 private:
  struct Delivery {
    IMessageSink* sink;
    boost::shared_ptr<LocalMessage> message;
  };

  void run();
  bool isSubscribedLocked(IMessageSink* sink, const std::string& topic) const;
  bool hasReleasedLocked(IMessageSink* sink) const;
  // Delivers message to sink unless the sink left its topic, is held (then it waits in
  // heldBack_), or, for a message fromQueue, still has released messages waiting (then it goes
  // behind them in released_). Called with lock held; unlocks it around onMessage. What onMessage
  // throws is printed on standard error, and delivery goes on.
  void deliverLocked(std::unique_lock<std::mutex>& lock, IMessageSink* sink,
                     const boost::shared_ptr<LocalMessage>& message, bool fromQueue);

  // Constant after construction
  std::thread::id deliveryThreadId_;

  // Guarded by mutex_
  std::mutex mutex_;
  std::condition_variable wake_;  // the delivery thread waits for messages or stop
  std::condition_variable idle_;  // unsubscribe and drain wait for deliveries to end
  std::deque<boost::shared_ptr<LocalMessage>> queue_;
  std::map<std::string, std::vector<IMessageSink*>> subscriptions_;
  std::map<IMessageSink*, unsigned> holds_;                 // sink -> nesting depth
  std::map<IMessageSink*, std::deque<Delivery>> heldBack_;  // per held sink, in send order
  // Held back, then released: delivered before queue_, in send order for each sink.
  std::deque<Delivery> released_;
  IMessageSink* delivering_ = nullptr;
  bool busy_ = false;  // a message has been taken from the queue and is not yet released
  bool stopping_ = false;

  std::thread thread_;
};
