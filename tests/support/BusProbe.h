// Test access to the bus: a dispatcher that counts what the plug-in asks of it, and a client that
// sends a request and waits for the reply.
#pragma once

#include <condition_variable>
#include <string>
#include <vector>

#include "host/BusDispatcher.h"
#include "logger/core/ThreadAnnotations.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"

namespace testsupport {

// Installed as the process's dispatcher while it lives; forwards to the real bus and counts.
class CountingDispatcher : public MessageDispatcher {
 public:
  CountingDispatcher() { previous = MessageDispatcher::setInstance(this); }
  ~CountingDispatcher() override { MessageDispatcher::setInstance(previous); }

  void send(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex) {
    {
      MutexLock lock(mutex);
      sent.push_back(message);
    }
    bus().send(message);
  }
  void subscribe(IMessageSink* sink, const std::string& topic) override EXCLUDES(mutex) {
    {
      MutexLock lock(mutex);
      subscribed.push_back(topic);
    }
    bus().subscribe(sink, topic);
  }
  void unsubscribe(IMessageSink* sink, const std::string& topic) override EXCLUDES(mutex) {
    {
      MutexLock lock(mutex);
      unsubscribed.push_back(topic);
    }
    bus().unsubscribe(sink, topic);
  }
  static BusDispatcher& bus() { return BusDispatcher::processInstance(); }

  // The topics asked for so far, in order.
  std::vector<std::string> subscribes() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    return subscribed;
  }
  std::vector<std::string> unsubscribes() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    return unsubscribed;
  }
  void forgetUnsubscribes() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    unsubscribed.clear();
  }

 private:
  MessageDispatcher* previous;

  // Guarded by mutex
  Mutex mutex;
  std::vector<boost::shared_ptr<LocalMessage>> sent GUARDED_BY(mutex);
  std::vector<std::string> subscribed GUARDED_BY(mutex);
  std::vector<std::string> unsubscribed GUARDED_BY(mutex);
};

// Listens on a reply topic of its own and collects what arrives there.
class BusClient : public IMessageSink {
 public:
  explicit BusClient(std::string replyTopic = "client:/test") : topic(std::move(replyTopic)) {
    BusDispatcher::processInstance().subscribe(this, topic);
  }
  ~BusClient() override { BusDispatcher::processInstance().unsubscribe(this, ""); }

  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex) {
    MutexLock lock(mutex);
    replies.push_back(message);
    arrived.notify_all();
  }

  void send(const std::string& type, const std::string& replyTopic) {
    CommonMessageProperties properties;
    properties.messageType = type;
    properties.topic = "target:/TarvoLogger";
    properties.replyTopic = replyTopic;
    BusDispatcher::processInstance().send(
        boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));
  }

  // Sends a request and returns the first reply of the matching type ("GET_RAW_DATA" ->
  // "RAW_DATA") that follows, or null after ten seconds. Replies to earlier requests still on
  // their way are passed over.
  boost::shared_ptr<LocalMessage> request(const std::string& type) EXCLUDES(mutex) {
    const std::string replyType = type.compare(0, 4, "GET_") == 0 ? type.substr(4) : type;
    std::size_t before = count();
    send(type, topic);
    boost::shared_ptr<LocalMessage> found;
    MutexLock lock(mutex);
    arrived.wait_for(lock.waitable(), std::chrono::seconds(10), [&]() REQUIRES(mutex) {
      for (std::size_t i = before; i < replies.size() && !found; ++i) {
        if (replies[i]->getMessageType() == replyType) found = replies[i];
      }
      return found != nullptr;
    });
    return found;
  }

  // Every reply so far, once the bus has delivered everything sent before the call.
  std::vector<boost::shared_ptr<LocalMessage>> settled() EXCLUDES(mutex) {
    BusDispatcher::processInstance().drain();
    BusDispatcher::processInstance().drain();  // replies sent while the requests were delivered
    MutexLock lock(mutex);
    return replies;
  }
  std::size_t count() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    return replies.size();
  }
  void clear() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    replies.clear();
  }

 private:
  std::string topic;

  // Guarded by mutex
  Mutex mutex;
  std::condition_variable arrived;
  std::vector<boost::shared_ptr<LocalMessage>> replies GUARDED_BY(mutex);
};

}  // namespace testsupport
