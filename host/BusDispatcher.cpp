#include "host/BusDispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <iterator>

#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"

namespace {
std::atomic<bool> instanceInstalled{false};
std::atomic<MessageDispatcher*> installedInstance{nullptr};

// One line per failed delivery, e.g.
//   bus: a sink on topic "target:/X" failed on a "PING" message: an unknown exception
void reportFailure(const LocalMessage& message, std::exception_ptr error) {
  std::string cause = "an unknown exception";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    cause = e.what();
  } catch (...) {
  }
  std::fprintf(stderr, "bus: a sink on topic \"%s\" failed on a \"%s\" message: %s\n",
               message.getTopic().c_str(), message.getMessageType().c_str(), cause.c_str());
}
}  // namespace

MessageDispatcher* MessageDispatcher::getInstance() {
  if (instanceInstalled.load(std::memory_order_acquire)) {
    return installedInstance.load(std::memory_order_acquire);
  }
  return &BusDispatcher::processInstance();
}

MessageDispatcher* MessageDispatcher::setInstance(MessageDispatcher* dispatcher) {
  MessageDispatcher* previous = getInstance();
  installedInstance.store(dispatcher, std::memory_order_release);
  instanceInstalled.store(true, std::memory_order_release);
  return previous;
}

MessageDispatcher::~MessageDispatcher() {}

BusDispatcher& BusDispatcher::processInstance() {
  static BusDispatcher* const instance = new BusDispatcher();
  return *instance;
}

BusDispatcher::BusDispatcher()
    : thread_(&BusDispatcher::run, this), deliveryThreadId_(thread_.get_id()) {}

BusDispatcher::~BusDispatcher() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void BusDispatcher::send(boost::shared_ptr<LocalMessage> message) {
  if (!message) return;
  {
    MutexLock lock(mutex_);
    queue_.push_back(std::move(message));
  }
  wake_.notify_one();
}

void BusDispatcher::subscribe(IMessageSink* sink, const std::string& topic) {
  if (!sink) return;
  MutexLock lock(mutex_);
  subscriptions_[topic].push_back(sink);
}

void BusDispatcher::unsubscribe(IMessageSink* sink, const std::string& topic) {
  MutexLock lock(mutex_);
  for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
    if (topic.empty() || it->first == topic) {
      auto& sinks = it->second;
      sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
    }
    it = it->second.empty() ? subscriptions_.erase(it) : std::next(it);
  }
  // Nothing held back or released for a topic the sink left will be delivered; the messages go
  // now, with their payloads, whose destructors may well call back into the bus.
  std::deque<Delivery> dropped;
  auto stays = [&](const Delivery& d) {
    return d.sink != sink || (!topic.empty() && d.message->getTopic() != topic);
  };
  auto moveOut = [&](std::deque<Delivery>& from) {
    auto keep = std::stable_partition(from.begin(), from.end(), stays);
    std::move(keep, from.end(), std::back_inserter(dropped));
    from.erase(keep, from.end());
  };
  auto held = heldBack_.find(sink);
  if (held != heldBack_.end()) {
    moveOut(held->second);
    if (held->second.empty()) heldBack_.erase(held);
  }
  moveOut(released_);
  // A sink leaving from inside its own onMessage must not wait for itself.
  if (std::this_thread::get_id() != deliveryThreadId_) {
    idle_.wait(lock.waitable(), [&]() REQUIRES(mutex_) { return delivering_ != sink; });
  }
  lock.unlock();
  dropped.clear();  // outside the lock, as said above
}

void BusDispatcher::hold(IMessageSink* sink) {
  if (!sink) return;
  MutexLock lock(mutex_);
  ++holds_[sink];
  if (std::this_thread::get_id() == deliveryThreadId_) return;
  idle_.wait(lock.waitable(), [&]() REQUIRES(mutex_) { return delivering_ != sink; });
}

void BusDispatcher::release(IMessageSink* sink) {
  {
    MutexLock lock(mutex_);
    auto it = holds_.find(sink);
    if (it == holds_.end()) return;
    if (--it->second > 0) return;
    holds_.erase(it);
    auto held = heldBack_.find(sink);
    if (held != heldBack_.end()) {
      std::move(held->second.begin(), held->second.end(), std::back_inserter(released_));
      heldBack_.erase(held);
    }
  }
  wake_.notify_one();
}

void BusDispatcher::drain() {
  // On the delivery thread the message in hand would never finish: nothing to wait for there.
  if (std::this_thread::get_id() == deliveryThreadId_) return;
  MutexLock lock(mutex_);
  idle_.wait(lock.waitable(),
             [&]() REQUIRES(mutex_) { return queue_.empty() && released_.empty() && !busy_; });
}

bool BusDispatcher::isSubscribedLocked(IMessageSink* sink, const std::string& topic) const {
  auto it = subscriptions_.find(topic);
  return it != subscriptions_.end() &&
         std::find(it->second.begin(), it->second.end(), sink) != it->second.end();
}

bool BusDispatcher::hasReleasedLocked(IMessageSink* sink) const {
  return std::any_of(released_.begin(), released_.end(),
                     [&](const Delivery& d) { return d.sink == sink; });
}

void BusDispatcher::deliverLocked(MutexLock& lock, IMessageSink* sink,
                                  const boost::shared_ptr<LocalMessage>& message, bool fromQueue) {
  const std::string& topic = message->getTopic();
  // A sink that left since the message was taken gets nothing more.
  if (!isSubscribedLocked(sink, topic)) return;
  // Released while this message went to the sinks before it: what it waited for comes first.
  if (fromQueue && !released_.empty() && hasReleasedLocked(sink)) {
    released_.push_back(Delivery{sink, message});
    return;
  }
  if (holds_.count(sink)) {
    heldBack_[sink].push_back(Delivery{sink, message});
    return;
  }
  delivering_ = sink;
  lock.unlock();
  try {
    sink->onMessage(message);
  } catch (...) {
    reportFailure(*message, std::current_exception());
  }
  lock.lock();
  delivering_ = nullptr;
  idle_.notify_all();
}

void BusDispatcher::run() {
  MutexLock lock(mutex_);
  for (;;) {
    wake_.wait(lock.waitable(), [&]() REQUIRES(mutex_) {
      return stopping_ || !queue_.empty() || !released_.empty();
    });
    boost::shared_ptr<LocalMessage> message;
    busy_ = true;
    if (!released_.empty()) {
      // Messages a held sink waited for go first: they were sent before anything still queued.
      Delivery delivery = std::move(released_.front());
      released_.pop_front();
      message = std::move(delivery.message);
      deliverLocked(lock, delivery.sink, message, false);
    } else if (!queue_.empty()) {
      message = std::move(queue_.front());
      queue_.pop_front();
      auto found = subscriptions_.find(message->getTopic());
      std::vector<IMessageSink*> targets;
      if (found != subscriptions_.end()) targets = found->second;
      for (IMessageSink* sink : targets) deliverLocked(lock, sink, message, true);
    } else {
      busy_ = false;
      return;  // stopping, and everything is delivered
    }
    // Release the message (and its payload) before anyone waiting in drain() goes on.
    lock.unlock();
    message.reset();
    lock.lock();
    busy_ = false;
    idle_.notify_all();
  }
}
