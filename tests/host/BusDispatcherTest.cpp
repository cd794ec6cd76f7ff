#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "host/BusDispatcher.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"

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
  void onMessage(boost::shared_ptr<LocalMessage> message) override {
    std::lock_guard<std::mutex> lock(mutex);
    types.push_back(message->getMessageType());
    threads.push_back(std::this_thread::get_id());
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return types;
  }
  std::mutex mutex;
  std::vector<std::string> types;
  std::vector<std::thread::id> threads;
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
  for (const auto& id : a.threads) EXPECT_NE(std::this_thread::get_id(), id);
  for (const auto& id : a.threads) EXPECT_EQ(a.threads.front(), id);
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

class SelfRemovingSink : public IMessageSink {
 public:
  explicit SelfRemovingSink(BusDispatcher& bus) : bus_(bus) { unsubscribeOnDestroy = false; }
  void onMessage(boost::shared_ptr<LocalMessage>) override {
    ++calls;
    bus_.unsubscribe(this, "");
  }
  std::atomic<int> calls{0};

 private:
  BusDispatcher& bus_;
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
