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
  CountingDispatcher() { previous_ = MessageDispatcher::setInstance(this); }
  ~CountingDispatcher() override { MessageDispatcher::setInstance(previous_); }

  void send(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      sent_.push_back(message);
    }
    bus().send(message);
  }
  void subscribe(IMessageSink* sink, const std::string& topic) override EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      subscribes_.push_back(topic);
    }
    bus().subscribe(sink, topic);
  }
  void unsubscribe(IMessageSink* sink, const std::string& topic) override EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      unsubscribes_.push_back(topic);
    }
    bus().unsubscribe(sink, topic);
  }
  static BusDispatcher& bus() { return BusDispatcher::processInstance(); }

  // The topics asked for so far, in order.
  std::vector<std::string> subscribes() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return subscribes_;
  }
  std::vector<std::string> unsubscribes() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return unsubscribes_;
  }
  void forgetUnsubscribes() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    unsubscribes_.clear();
  }

 private:
  MessageDispatcher* previous_;

  // Guarded by mutex_
  Mutex mutex_;
  std::vector<boost::shared_ptr<LocalMessage>> sent_ GUARDED_BY(mutex_);
  std::vector<std::string> subscribes_ GUARDED_BY(mutex_);
  std::vector<std::string> unsubscribes_ GUARDED_BY(mutex_);
};

// Listens on a reply topic of its own and collects what arrives there.
class BusClient : public IMessageSink {
 public:
  explicit BusClient(std::string replyTopic = "client:/test") : topic_(std::move(replyTopic)) {
    BusDispatcher::processInstance().subscribe(this, topic_);
  }
  ~BusClient() override { BusDispatcher::processInstance().unsubscribe(this, ""); }

  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    replies_.push_back(message);
    arrived_.notify_all();
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
  boost::shared_ptr<LocalMessage> request(const std::string& type) EXCLUDES(mutex_) {
    const std::string replyType = type.compare(0, 4, "GET_") == 0 ? type.substr(4) : type;
    std::size_t before = count();
    send(type, topic_);
    boost::shared_ptr<LocalMessage> found;
    MutexLock lock(mutex_);
    arrived_.wait_for(lock.waitable(), std::chrono::seconds(10), [&]() REQUIRES(mutex_) {
      for (std::size_t i = before; i < replies_.size() && !found; ++i) {
        if (replies_[i]->getMessageType() == replyType) found = replies_[i];
      }
      return found != nullptr;
    });
    return found;
  }

  // Every reply so far, once the bus has delivered everything sent before the call.
  std::vector<boost::shared_ptr<LocalMessage>> settled() EXCLUDES(mutex_) {
    BusDispatcher::processInstance().drain();
    BusDispatcher::processInstance().drain();  // replies sent while the requests were delivered
    MutexLock lock(mutex_);
    return replies_;
  }
  std::size_t count() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return replies_.size();
  }
  void clear() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    replies_.clear();
  }

 private:
  std::string topic_;

  // Guarded by mutex_
  Mutex mutex_;
  std::condition_variable arrived_;
  std::vector<boost::shared_ptr<LocalMessage>> replies_ GUARDED_BY(mutex_);
};

}  // namespace testsupport
