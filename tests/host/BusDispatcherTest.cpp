#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "host/BusDispatcher.h"
#include "logger/core/ThreadAnnotations.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"
#include "tests/support/TestSupport.h"

namespace {

boost::shared_ptr<LocalMessage> makeMessage(const std::string& topic, const std::string& type) {
  CommonMessageProperties properties;
  properties.topic = topic;
  properties.messageType = type;
  return boost::shared_ptr<LocalMessage>(new LocalMessage(properties));
}

// Records what reaches it. Does not leave the bus on destruction: each test owns its dispatcher.
class RecordingSink : public IMessageSink {
 public:
  RecordingSink() { unsubscribeOnDestroy = false; }
  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex) {
    MutexLock lock(mutex);
    types.push_back(message->getMessageType());
    threads.push_back(std::this_thread::get_id());
  }
  std::vector<std::string> snapshot() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    return types;
  }
  std::vector<std::thread::id> deliveryThreads() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    return threads;
  }
  Mutex mutex;
  std::vector<std::string> types GUARDED_BY(mutex);
  std::vector<std::thread::id> threads GUARDED_BY(mutex);
};

TEST(BusDispatcherTest, DeliversInSendOrderToExactTopicsOnItsOwnThread) {
  BusDispatcher bus;
  RecordingSink a, b, twice;
  bus.subscribe(&a, "target:/A");
  bus.subscribe(&b, "target:/A/sub");
  bus.subscribe(&twice, "target:/A");
  bus.subscribe(&twice, "target:/A");

  for (int i = 0; i < 100; ++i) bus.send(makeMessage("target:/A", std::to_string(i)));
  bus.send(makeMessage("target:/a", "wrong case"));
  bus.send(makeMessage("target:/", "prefix"));
  bus.drain();

  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(expected, a.snapshot());
  EXPECT_TRUE(b.snapshot().empty());
  EXPECT_EQ(200u, twice.snapshot().size()) << "a sink subscribed twice hears everything twice";
  const std::vector<std::thread::id> threads = a.deliveryThreads();
  for (const auto& id : threads) EXPECT_NE(std::this_thread::get_id(), id);
  for (const auto& id : threads) EXPECT_EQ(threads.front(), id);
}

// Tracks whether a delivery runs while, or starts after, the sink left.
class GuardedSink : public IMessageSink {
 public:
  GuardedSink() { unsubscribeOnDestroy = false; }
  void onMessage(boost::shared_ptr<LocalMessage>) override {
    if (left) ++violations;
    ++inside;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ++delivered;
    --inside;
  }
  std::atomic<bool> left{false};
  std::atomic<int> inside{0}, delivered{0}, violations{0};
};

TEST(BusDispatcherTest, NothingReachesASinkAfterUnsubscribeReturns) {
  for (int round = 0; round < 20; ++round) {
    BusDispatcher bus;
    GuardedSink sink;
    bus.subscribe(&sink, "t1");
    bus.subscribe(&sink, "t2");
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      while (!stop) {
        bus.send(makeMessage("t1", "x"));
        bus.send(makeMessage("t2", "y"));
        std::this_thread::yield();
      }
    });
    while (sink.delivered < 3) std::this_thread::yield();
    bus.unsubscribe(&sink, "");
    EXPECT_EQ(0, sink.inside.load()) << "a delivery was still running";
    sink.left = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop = true;
    sender.join();
    bus.drain();
    EXPECT_EQ(0, sink.violations.load()) << "a delivery started after unsubscribe";
  }
}

TEST(BusDispatcherTest, AHeldSinkGetsItsMessagesInOrderAfterReleaseAndNoneAfterLeaving) {
  BusDispatcher bus;
  RecordingSink held, other;
  bus.subscribe(&held, "t");
  bus.subscribe(&other, "t");
  bus.hold(&held);
  bus.hold(&held);  // holds nest
  for (int i = 0; i < 5; ++i) bus.send(makeMessage("t", std::to_string(i)));
  bus.drain();
  EXPECT_TRUE(held.snapshot().empty()) << "nothing while held";
  EXPECT_EQ(5u, other.snapshot().size()) << "other sinks are served meanwhile";
  bus.release(&held);
  bus.drain();
  EXPECT_TRUE(held.snapshot().empty()) << "still held once";
  bus.release(&held);
  bus.send(makeMessage("t", "5"));
  bus.drain();
  EXPECT_EQ((std::vector<std::string>{"0", "1", "2", "3", "4", "5"}), held.snapshot());

  RecordingSink leaving;
  bus.subscribe(&leaving, "t");
  bus.subscribe(&leaving, "u");
  bus.hold(&leaving);
  bus.send(makeMessage("t", "for t"));
  bus.send(makeMessage("u", "for u"));
  bus.drain();
  bus.unsubscribe(&leaving, "t");
  bus.release(&leaving);
  bus.drain();
  EXPECT_EQ(std::vector<std::string>{"for u"}, leaving.snapshot()) << "only the topic it kept";
}

// Records like RecordingSink, but a delivery of the message type blockOn waits inside onMessage
// until the test opens the gate: the delivery thread stands still at a point the test chose.
class GateSink : public RecordingSink {
 public:
  explicit GateSink(std::string theBlockOn) : blockOn(std::move(theBlockOn)) {}
  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(gateMutex) {
    RecordingSink::onMessage(message);
    if (message->getMessageType() != blockOn) return;
    MutexLock lock(gateMutex);
    inside = true;
    changed.notify_all();
    changed.wait_for(lock.waitable(), std::chrono::seconds(20),
                     [&]() REQUIRES(gateMutex) { return isOpen; });
    inside = false;
    isOpen = false;
  }
  bool waitUntilInside() EXCLUDES(gateMutex) {
    MutexLock lock(gateMutex);
    return changed.wait_for(lock.waitable(), std::chrono::seconds(20),
                            [&]() REQUIRES(gateMutex) { return inside; });
  }
  void open() EXCLUDES(gateMutex) {
    MutexLock lock(gateMutex);
    isOpen = true;
    changed.notify_all();
  }

 private:
  const std::string blockOn;
  // Guarded by gateMutex
  Mutex gateMutex;
  std::condition_variable changed;
  bool inside GUARDED_BY(gateMutex) = false;
  bool isOpen GUARDED_BY(gateMutex) = false;
};

TEST(BusDispatcherTest, ASinkReleasedDuringADeliveryGetsWhatWasHeldFirst) {
  BusDispatcher bus;
  GateSink first("block");
  RecordingSink held;
  bus.subscribe(&first, "t");  // served before held, so it can stop the delivery in between
  bus.subscribe(&held, "t");

  bus.hold(&held);
  bus.send(makeMessage("t", "m1"));
  bus.drain();
  bus.send(makeMessage("t", "block"));  // the same message is then due to held
  ASSERT_TRUE(first.waitUntilInside());
  bus.release(&held);
  first.open();
  bus.drain();
  EXPECT_EQ((std::vector<std::string>{"m1", "block"}), held.snapshot());

  // Released and held again while the delivery stands: nothing overtakes, nothing arrives early.
  bus.hold(&held);
  bus.send(makeMessage("t", "m3"));
  bus.drain();
  bus.send(makeMessage("t", "block"));
  ASSERT_TRUE(first.waitUntilInside());
  bus.release(&held);
  bus.hold(&held);
  first.open();
  bus.drain();
  EXPECT_EQ((std::vector<std::string>{"m1", "block"}), held.snapshot()) << "held again";
  bus.release(&held);
  bus.drain();
  EXPECT_EQ((std::vector<std::string>{"m1", "block", "m3", "block"}), held.snapshot());
}

// A payload that runs a callback when the last message holding it goes.
class CallbackPayload : public ISerializable {
 public:
  explicit CallbackPayload(std::function<void()> theOnDestroy)
      : onDestroy(std::move(theOnDestroy)) {}
  ~CallbackPayload() override { onDestroy(); }
  std::string serialize() override { return std::string(); }

 private:
  std::function<void()> onDestroy;
};

// Removes another sink from a topic, on the delivery thread, when a message reaches it.
class EvictingSink : public IMessageSink {
 public:
  EvictingSink(BusDispatcher& theBus, IMessageSink* theVictim, bool theReleaseFirst)
      : bus(theBus), victim(theVictim), releaseFirst(theReleaseFirst) {
    unsubscribeOnDestroy = false;
  }
  void onMessage(boost::shared_ptr<LocalMessage>) override {
    if (releaseFirst) bus.release(victim);
    bus.unsubscribe(victim, "t");
  }

 private:
  BusDispatcher& bus;
  IMessageSink* victim;
  const bool releaseFirst;
};

TEST(BusDispatcherTest, MessagesDroppedOnTheDeliveryThreadGoWithoutTheLock) {
  // A payload's destructor may use the bus; it runs on a helper thread here, so that a bus still
  // locked by the delivery thread shows as a call that does not return instead of a hang.
  for (bool releaseFirst : {false, true}) {
    BusDispatcher bus;
    RecordingSink victim, late;
    EvictingSink evicting(bus, &victim, releaseFirst);
    bus.subscribe(&victim, "t");
    bus.subscribe(&evicting, "evict");
    std::future<void> call;
    std::atomic<bool> destroyed{false}, returned{false};
    {
      auto message = makeMessage("t", "dropped");
      message->setPayload(boost::shared_ptr<ISerializable>(new CallbackPayload([&] {
        call = std::async(std::launch::async, [&] {
          bus.subscribe(&late, "late");
          bus.send(makeMessage("late", "from a destructor"));
        });
        returned = call.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        destroyed = true;
      })));
      bus.hold(&victim);
      bus.send(message);
    }
    bus.drain();
    bus.send(makeMessage("evict", "go"));
    ASSERT_TRUE(testsupport::waitFor([&] { return destroyed.load(); }));
    call.wait();
    bus.drain();
    EXPECT_TRUE(returned) << "released first: " << releaseFirst;
    EXPECT_EQ(std::vector<std::string>{"from a destructor"}, late.snapshot());
    EXPECT_TRUE(victim.snapshot().empty());
  }
}

// Throws what its message type names: "int" throws 42, "runtime_error" a std::runtime_error.
class ThrowingSink : public RecordingSink {
 public:
  void onMessage(boost::shared_ptr<LocalMessage> message) override {
    RecordingSink::onMessage(message);
    if (message->getMessageType() == "int") throw 42;
    if (message->getMessageType() == "runtime_error") throw std::runtime_error("disk on fire");
  }
};

TEST(BusDispatcherTest, WhatASinkThrowsIsReportedAndDeliveryGoesOn) {
  BusDispatcher bus;
  ThrowingSink throwing;
  RecordingSink after;
  bus.subscribe(&throwing, "target:/T");
  bus.subscribe(&after, "target:/T");
  testing::internal::CaptureStderr();
  for (const char* type : {"int", "runtime_error", "fine"})
    bus.send(makeMessage("target:/T", type));
  bus.drain();
  const std::string err = testing::internal::GetCapturedStderr();
  const std::vector<std::string> all{"int", "runtime_error", "fine"};
  EXPECT_EQ(all, throwing.snapshot());
  EXPECT_EQ(all, after.snapshot()) << "the sinks after a failed one are served";
  EXPECT_EQ(
      "bus: a sink on topic \"target:/T\" failed on a \"int\" message: an unknown exception\n"
      "bus: a sink on topic \"target:/T\" failed on a \"runtime_error\" message: disk on fire\n",
      err);
}

class SelfRemovingSink : public IMessageSink {
 public:
  explicit SelfRemovingSink(BusDispatcher& theBus) : bus(theBus) { unsubscribeOnDestroy = false; }
  void onMessage(boost::shared_ptr<LocalMessage>) override {
    ++calls;
    bus.unsubscribe(this, "");
  }
  std::atomic<int> calls{0};

 private:
  BusDispatcher& bus;
};

TEST(BusDispatcherTest, ASinkMayLeaveFromInsideItsOwnDelivery) {
  BusDispatcher bus;
  SelfRemovingSink sink(bus);
  bus.subscribe(&sink, "t");
  bus.subscribe(&sink, "t");
  bus.send(makeMessage("t", "first"));
  bus.send(makeMessage("t", "second"));
  bus.drain();  // would hang if the sink waited for its own delivery
  EXPECT_EQ(1, sink.calls.load()) << "the second subscription left with the first";
}

TEST(BusDispatcherTest, SinksLeaveTheProcessBusWhenDestroyed) {
  MessageDispatcher* bus = MessageDispatcher::getInstance();
  ASSERT_EQ(bus, &BusDispatcher::processInstance());
  std::atomic<int> calls{0};
  struct Sink : IMessageSink {
    explicit Sink(std::atomic<int>& c) : calls(c) {}
    void onMessage(boost::shared_ptr<LocalMessage>) override { ++calls; }
    std::atomic<int>& calls;
  };
  {
    Sink sink(calls);
    bus->subscribe(&sink, "t");
    bus->send(makeMessage("t", "x"));
    BusDispatcher::processInstance().drain();
  }
  bus->send(makeMessage("t", "after"));
  BusDispatcher::processInstance().drain();
  EXPECT_EQ(1, calls.load());

  // With no dispatcher installed, a sink's destructor has nothing to leave and must not crash.
  MessageDispatcher* previous = MessageDispatcher::setInstance(nullptr);
  EXPECT_EQ(nullptr, MessageDispatcher::getInstance());
  { Sink orphan(calls); }
  MessageDispatcher::setInstance(previous);
  EXPECT_EQ(bus, MessageDispatcher::getInstance());
}

}  // namespace
