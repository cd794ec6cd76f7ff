#include "logger/plugin/TarvoLoggerPlugin.h"

#include <iostream>

#include "logger/core/MainLoggerCore.h"
#include "logger/host/CommonMessageProperties.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/plugin/TarvoLoggerPayloads.h"

namespace {
const char kShutdownLine[] = "TarvoLoggerPlugin::shutdown()";

boost::shared_ptr<LocalMessage> makeReply(const char* type, const std::string& topic,
                                          boost::shared_ptr<ISerializable> payload) {
  CommonMessageProperties properties;
  properties.messageType = type;
  properties.deliveryMode = 0;
  properties.replyTopic = "";
  properties.topic = topic;
  boost::shared_ptr<LocalMessage> reply(new LocalMessage(properties));
  reply->setPayload(std::move(payload));
  return reply;
}
}  // namespace

TarvoLoggerPlugin::TarvoLoggerPlugin() : core(nullptr) {}

TarvoLoggerPlugin::~TarvoLoggerPlugin() {
  if (core) {
    // Still running: leave the bus first, so that no request reaches the core being destroyed.
    if (MessageDispatcher* dispatcher = MessageDispatcher::getInstance()) {
      dispatcher->unsubscribe(this, std::string());
    }
    delete core;
    core = nullptr;
  }
}

void TarvoLoggerPlugin::start() {
  if (!core) core = new MainLoggerCore();
  MessageDispatcher* dispatcher = MessageDispatcher::getInstance();
  if (!dispatcher) return;
  dispatcher->subscribe(this, TarvoLoggerProtocol::kTopic);
}

void TarvoLoggerPlugin::shutdown() {
  std::cout << kShutdownLine << std::endl;
  cleanup();
}

void TarvoLoggerPlugin::reserved() {}

void TarvoLoggerPlugin::cleanup() {
  delete core;
  core = nullptr;
}

void TarvoLoggerPlugin::onMessage(boost::shared_ptr<LocalMessage> message) {
  const std::string replyTopic = message->getReplyTopic();
  const std::string type = message->getMessageType();
  message.reset();
  // Nothing to answer with before start or after shutdown, and nowhere to answer without a bus.
  if (!core) return;
  MessageDispatcher* dispatcher = MessageDispatcher::getInstance();
  if (!dispatcher) return;

  if (type == TarvoLoggerProtocol::kGetLoggerQueue) {
    boost::shared_ptr<TarvoLoggerQueueData> payload(new TarvoLoggerQueueData());
    payload->queue = core->getQueue();
    dispatcher->send(makeReply(TarvoLoggerProtocol::kLoggerQueue, replyTopic, payload));
  } else if (type == TarvoLoggerProtocol::kGetRawData) {
    boost::shared_ptr<TarvoLoggerRawData> payload(new TarvoLoggerRawData());
    payload->data = core->getRawData();
    dispatcher->send(makeReply(TarvoLoggerProtocol::kRawData, replyTopic, payload));
  }
}
