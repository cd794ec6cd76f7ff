#include "host/BusDispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <iterator>

#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/OwnThreads.h"

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

namespace {
// The process's bus, made on first use; a forked child forgets its parent's.
std::atomic<BusDispatcher*> processBus{nullptr};
}  // namespace

BusDispatcher& BusDispatcher::processInstance() {
  BusDispatcher* bus = processBus.load(std::memory_order_acquire);
  if (bus) return *bus;
  auto* fresh = new BusDispatcher();
  if (processBus.compare_exchange_strong(bus, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;  // another thread's came first
  return *bus;
}

void BusDispatcher::forgetProcessInstanceInChild() {
  processBus.store(nullptr, std::memory_order_release);
}

BusDispatcher::BusDispatcher()
    : thread(&BusDispatcher::run, this), deliveryThreadId(thread.get_id()) {}

BusDispatcher::~BusDispatcher() {
  {
    MutexLock lock(mutex);
    stopping = true;
  }
  wake.notify_one();
  thread.join();
}

void BusDispatcher::send(boost::shared_ptr<LocalMessage> message) {
  if (!message) return;
  {
    MutexLock lock(mutex);
    queue.push_back(std::move(message));
  }
  wake.notify_one();
}

void BusDispatcher::subscribe(IMessageSink* sink, const std::string& topic) {
  if (!sink) return;
  MutexLock lock(mutex);
  subscriptions[topic].push_back(sink);
}

void BusDispatcher::unsubscribe(IMessageSink* sink, const std::string& topic) {
  MutexLock lock(mutex);
  for (auto it = subscriptions.begin(); it != subscriptions.end();) {
    if (topic.empty() || it->first == topic) {
      auto& sinks = it->second;
      sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
    }
    it = it->second.empty() ? subscriptions.erase(it) : std::next(it);
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
  auto held = heldBack.find(sink);
  if (held != heldBack.end()) {
    moveOut(held->second);
    if (held->second.empty()) heldBack.erase(held);
  }
  moveOut(released);
  // A sink leaving from inside its own onMessage must not wait for itself.
  if (std::this_thread::get_id() != deliveryThreadId) {
    idle.wait(lock.waitable(), [&]() REQUIRES(mutex) { return delivering != sink; });
  }
  lock.unlock();
  dropped.clear();  // outside the lock, as said above
}

void BusDispatcher::hold(IMessageSink* sink) {
  if (!sink) return;
  MutexLock lock(mutex);
  ++holds[sink];
  if (std::this_thread::get_id() == deliveryThreadId) return;
  idle.wait(lock.waitable(), [&]() REQUIRES(mutex) { return delivering != sink; });
}

void BusDispatcher::release(IMessageSink* sink) {
  {
    MutexLock lock(mutex);
    auto it = holds.find(sink);
    if (it == holds.end()) return;
    if (--it->second > 0) return;
    holds.erase(it);
    auto held = heldBack.find(sink);
    if (held != heldBack.end()) {
      std::move(held->second.begin(), held->second.end(), std::back_inserter(released));
      heldBack.erase(held);
    }
  }
  wake.notify_one();
}

void BusDispatcher::drain() {
  // On the delivery thread the message in hand would never finish: nothing to wait for there.
  if (std::this_thread::get_id() == deliveryThreadId) return;
  MutexLock lock(mutex);
  idle.wait(lock.waitable(),
            [&]() REQUIRES(mutex) { return queue.empty() && released.empty() && !busy; });
}

bool BusDispatcher::isSubscribedLocked(IMessageSink* sink, const std::string& topic) const {
  auto it = subscriptions.find(topic);
  return it != subscriptions.end() &&
         std::find(it->second.begin(), it->second.end(), sink) != it->second.end();
}

bool BusDispatcher::hasReleasedLocked(IMessageSink* sink) const {
  return std::any_of(released.begin(), released.end(),
                     [&](const Delivery& d) { return d.sink == sink; });
}

void BusDispatcher::deliverLocked(MutexLock& lock, IMessageSink* sink,
                                  const boost::shared_ptr<LocalMessage>& message, bool fromQueue) {
  const std::string& topic = message->getTopic();
  // A sink that left since the message was taken gets nothing more.
  if (!isSubscribedLocked(sink, topic)) return;
  // Released while this message went to the sinks before it: what it waited for comes first.
  if (fromQueue && !released.empty() && hasReleasedLocked(sink)) {
    released.push_back(Delivery{sink, message});
    return;
  }
  if (holds.count(sink)) {
    heldBack[sink].push_back(Delivery{sink, message});
    return;
  }
  delivering = sink;
  lock.unlock();
  try {
    sink->onMessage(message);
  } catch (...) {
    reportFailure(*message, std::current_exception());
  }
  lock.lock();
  delivering = nullptr;
  idle.notify_all();
}

void BusDispatcher::run() {
  OwnThreads::markCurrent();
  MutexLock lock(mutex);
  for (;;) {
    wake.wait(lock.waitable(),
              [&]() REQUIRES(mutex) { return stopping || !queue.empty() || !released.empty(); });
    boost::shared_ptr<LocalMessage> message;
    busy = true;
    if (!released.empty()) {
      // Messages a held sink waited for go first: they were sent before anything still queued.
      Delivery delivery = std::move(released.front());
      released.pop_front();
      message = std::move(delivery.message);
      deliverLocked(lock, delivery.sink, message, false);
    } else if (!queue.empty()) {
      message = std::move(queue.front());
      queue.pop_front();
      auto found = subscriptions.find(message->getTopic());
      std::vector<IMessageSink*> targets;
      if (found != subscriptions.end()) targets = found->second;
      for (IMessageSink* sink : targets) deliverLocked(lock, sink, message, true);
    } else {
      busy = false;
      return;  // stopping, and everything is delivered
    }
    // Release the message (and its payload) before anyone waiting in drain() goes on.
    lock.unlock();
    message.reset();
    lock.lock();
    busy = false;
    idle.notify_all();
  }
}
