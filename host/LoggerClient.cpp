#include "host/LoggerClient.h"

#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/plugin/TarvoLoggerPayloads.h"

LoggerClient::LoggerClient(std::string replyTopic) : replyTopic_(std::move(replyTopic)) {
  if (MessageDispatcher* bus = MessageDispatcher::getInstance()) {
    bus->subscribe(this, replyTopic_);
  }
}

LoggerClient::~LoggerClient() = default;  // the sink base leaves the bus

boost::shared_ptr<LocalMessage> LoggerClient::request(const char* type, const char* replyType,
                                                      std::chrono::milliseconds timeout) {
  MessageDispatcher* bus = MessageDispatcher::getInstance();
  if (!bus) return nullptr;
  {
    MutexLock lock(mutex_);
    awaitedType_ = replyType;
    reply_.reset();
  }
  CommonMessageProperties properties;
  properties.messageType = type;
  properties.topic = TarvoLoggerProtocol::kTopic;
  properties.replyTopic = replyTopic_;
  bus->send(boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));

  MutexLock lock(mutex_);
  arrived_.wait_for(lock.waitable(), timeout, [&]() REQUIRES(mutex_) { return reply_ != nullptr; });
  boost::shared_ptr<LocalMessage> reply;
  reply.swap(reply_);
  awaitedType_.clear();
  return reply;
}

boost::shared_ptr<safe_pipe<std::string>> LoggerClient::requestQueue(
    std::chrono::milliseconds timeout) {
  auto reply =
      request(TarvoLoggerProtocol::kGetLoggerQueue, TarvoLoggerProtocol::kLoggerQueue, timeout);
  if (!reply) return nullptr;
  auto* data = dynamic_cast<TarvoLoggerQueueData*>(reply->getPayload().get());
  return data ? data->queue : nullptr;
}

bool LoggerClient::requestRawData(std::chrono::milliseconds timeout, std::string& data) {
  auto reply = request(TarvoLoggerProtocol::kGetRawData, TarvoLoggerProtocol::kRawData, timeout);
  if (!reply) return false;
  auto* raw = dynamic_cast<TarvoLoggerRawData*>(reply->getPayload().get());
  if (!raw) return false;
  data = raw->data;
  return true;
}

bool LoggerClient::requestStats(std::chrono::milliseconds timeout, TarvoLoggerStatsData& stats) {
  auto reply =
      request(TarvoLoggerProtocol::kGetLoggerStats, TarvoLoggerProtocol::kLoggerStats, timeout);
  if (!reply) return false;
  auto* counts = dynamic_cast<TarvoLoggerStatsData*>(reply->getPayload().get());
  if (!counts) return false;
  stats = *counts;
  return true;
}

void LoggerClient::onMessage(boost::shared_ptr<LocalMessage> message) {
  MutexLock lock(mutex_);
  if (reply_ || message->getMessageType() != awaitedType_) return;
  reply_ = std::move(message);
  arrived_.notify_all();
}
