// Test access to the bus: a dispatcher that counts what the plug-in asks of it, and a client that
// sends a request and waits for the reply.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/BusDispatcher.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"

namespace testsupport {

// Installed as the process's dispatcher while it lives; forwards to the real bus and counts.
class CountingDispatcher : public MessageDispatcher {
 public:
  CountingDispatcher() { previous_ = MessageDispatcher::setInstance(this); }
  ~CountingDispatcher() override { MessageDispatcher::setInstance(previous_); }

  void send(boost::shared_ptr<LocalMessage> message) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      sent.push_back(message);
    }
    bus().send(message);
  }
  void subscribe(IMessageSink* sink, const std::string& topic) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      subscribes.push_back(topic);
    }
    bus().subscribe(sink, topic);
  }
  void unsubscribe(IMessageSink* sink, const std::string& topic) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      unsubscribes.push_back(topic);
    }
    bus().unsubscribe(sink, topic);
  }
  static BusDispatcher& bus() { return BusDispatcher::processInstance(); }

  std::mutex mutex;
  std::vector<boost::shared_ptr<LocalMessage>> sent;
  std::vector<std::string> subscribes, unsubscribes;

 private:
  MessageDispatcher* previous_;
};

// Listens on a reply topic of its own and collects what arrives there.
class BusClient : public IMessageSink {
 public:
  explicit BusClient(std::string replyTopic = "client:/test") : topic_(std::move(replyTopic)) {
    BusDispatcher::processInstance().subscribe(this, topic_);
  }
  ~BusClient() override { BusDispatcher::processInstance().unsubscribe(this, ""); }

  void onMessage(boost::shared_ptr<LocalMessage> message) override {
    std::lock_guard<std::mutex> lock(mutex_);
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
  boost::shared_ptr<LocalMessage> request(const std::string& type) {
    const std::string replyType = type.compare(0, 4, "GET_") == 0 ? type.substr(4) : type;
    std::size_t before = count();
    send(type, topic_);
    boost::shared_ptr<LocalMessage> found;
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (std::size_t i = before; i < replies_.size() && !found; ++i) {
        if (replies_[i]->getMessageType() == replyType) found = replies_[i];
      }
      return found != nullptr;
    });
    return found;
  }

  // Every reply so far, once the bus has delivered everything sent before the call.
  std::vector<boost::shared_ptr<LocalMessage>> settled() {
    BusDispatcher::processInstance().drain();
    BusDispatcher::processInstance().drain();  // replies sent while the requests were delivered
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_.size();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.clear();
  }

 private:
  std::string topic_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<boost::shared_ptr<LocalMessage>> replies_;
};

}  // namespace testsupport
