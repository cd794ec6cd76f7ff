#include "host/LoggerClient.h"

#include <cinttypes>
#include <cstdio>

#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/plugin/TarvoLoggerPayloads.h"

LoggerClient::LoggerClient(std::string theReplyTopic) : replyTopic(std::move(theReplyTopic)) {
  if (MessageDispatcher* bus = MessageDispatcher::getInstance()) {
    bus->subscribe(this, replyTopic);
  }
}

LoggerClient::~LoggerClient() = default;  // the sink base leaves the bus

boost::shared_ptr<LocalMessage> LoggerClient::request(const char* type, const char* replyType,
                                                      std::chrono::milliseconds timeout) {
  MessageDispatcher* bus = MessageDispatcher::getInstance();
  if (!bus) return nullptr;
  {
    MutexLock lock(mutex);
    awaitedType = replyType;
    reply.reset();
  }
  CommonMessageProperties properties;
  properties.messageType = type;
  properties.topic = TarvoLoggerProtocol::kTopic;
  properties.replyTopic = replyTopic;
  bus->send(boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));

  MutexLock lock(mutex);
  arrived.wait_for(lock.waitable(), timeout, [&]() REQUIRES(mutex) { return reply != nullptr; });
  boost::shared_ptr<LocalMessage> theReply;
  theReply.swap(reply);
  awaitedType.clear();
  return theReply;
}

boost::shared_ptr<safe_pipe<std::string>> LoggerClient::requestQueue(
    std::chrono::milliseconds timeout) {
  auto theReply =
      request(TarvoLoggerProtocol::kGetLoggerQueue, TarvoLoggerProtocol::kLoggerQueue, timeout);
  if (!theReply) return nullptr;
  auto* data = dynamic_cast<TarvoLoggerQueueData*>(theReply->getPayload().get());
  return data ? data->queue : nullptr;
}

bool LoggerClient::requestRawData(std::chrono::milliseconds timeout, std::string& data) {
  auto theReply = request(TarvoLoggerProtocol::kGetRawData, TarvoLoggerProtocol::kRawData, timeout);
  if (!theReply) return false;
  auto* raw = dynamic_cast<TarvoLoggerRawData*>(theReply->getPayload().get());
  if (!raw) return false;
  data = raw->data;
  return true;
}

bool LoggerClient::requestStats(std::chrono::milliseconds timeout, TarvoLoggerStatsData& stats) {
  auto theReply =
      request(TarvoLoggerProtocol::kGetLoggerStats, TarvoLoggerProtocol::kLoggerStats, timeout);
  if (!theReply) return false;
  auto* counts = dynamic_cast<TarvoLoggerStatsData*>(theReply->getPayload().get());
  if (!counts) return false;
  stats = *counts;
  return true;
}

void LoggerClient::onMessage(boost::shared_ptr<LocalMessage> message) {
  MutexLock lock(mutex);
  if (reply || message->getMessageType() != awaitedType) return;
  reply = std::move(message);
  arrived.notify_all();
}

std::string LoggerClient::lossText(const TarvoLoggerStatsData& stats) {
  char counts[160];
  std::snprintf(counts, sizeof(counts),
                "the logger lost %" PRIu64 " of %" PRIu64 " lines (%" PRIu64 " stored)", stats.lost,
                stats.stored + stats.lost, stats.stored);
  return counts + (stats.lastError.empty() ? std::string() : "; last error: " + stats.lastError);
}
