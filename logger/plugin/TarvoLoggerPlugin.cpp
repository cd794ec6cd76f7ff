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
  // Leave the bus here, not in the sink base: by the time the base's destructor runs this part of
  // the object is gone, and a delivery in between would call a pure virtual onMessage. Once
  // unsubscribe returns no delivery runs or starts, so the base has nothing left to do.
  if (unsubscribeOnDestroy) {
    if (MessageDispatcher* dispatcher = MessageDispatcher::getInstance()) {
      dispatcher->unsubscribe(this, std::string());
    }
    unsubscribeOnDestroy = false;
  }
  cleanup();  // a component destroyed while running stops its core
}

void TarvoLoggerPlugin::start() {
  // Only the lifecycle thread writes core, so reading it here needs no lock.
  if (!core) {
    MainLoggerCore* fresh = new MainLoggerCore();
    MutexLock lock(mutex);
    core = fresh;
    counters = fresh->getCounters();
  }
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
  MainLoggerCore* old;
  {
    MutexLock lock(mutex);
    old = core;
    core = nullptr;  // no new borrower from here on
    returned.wait(lock.waitable(), [&]() REQUIRES(mutex) { return borrowers == 0; });
  }
  delete old;
}

MainLoggerCore* TarvoLoggerPlugin::borrowCore() {
  MutexLock lock(mutex);
  if (core) ++borrowers;
  return core;
}

void TarvoLoggerPlugin::returnCore() {
  MutexLock lock(mutex);
  if (--borrowers == 0) returned.notify_all();
}

void TarvoLoggerPlugin::onMessage(boost::shared_ptr<LocalMessage> message) {
  if (!message) return;
  const std::string replyTopic = message->getReplyTopic();
  const std::string type = message->getMessageType();
  message.reset();
  const bool wantsQueue = type == TarvoLoggerProtocol::kGetLoggerQueue;
  const bool wantsStats = type == TarvoLoggerProtocol::kGetLoggerStats;
  if (!wantsQueue && !wantsStats && type != TarvoLoggerProtocol::kGetRawData) return;
  // Nowhere to answer without a bus, and nothing to answer with before start or after shutdown
  // (the counts excepted, which outlive the core).
  MessageDispatcher* dispatcher = MessageDispatcher::getInstance();
  if (!dispatcher) return;
  if (wantsStats) {
    boost::shared_ptr<const WorkerCounters> last;
    {
      MutexLock lock(mutex);
      last = counters;
    }
    if (!last) return;
    const WorkerCounters::Snapshot now = last->snapshot();
    boost::shared_ptr<TarvoLoggerStatsData> payload(new TarvoLoggerStatsData());
    payload->taken = now.taken;
    payload->tooShort = now.tooShort;
    payload->stored = now.stored;
    payload->lost = now.lost;
    payload->lastError = now.lastError;
    dispatcher->send(makeReply(TarvoLoggerProtocol::kLoggerStats, replyTopic, payload));
    return;
  }
  MainLoggerCore* borrowed = borrowCore();
  if (!borrowed) return;

  boost::shared_ptr<LocalMessage> reply;
  try {
    if (wantsQueue) {
      boost::shared_ptr<TarvoLoggerQueueData> payload(new TarvoLoggerQueueData());
      payload->queue = borrowed->getQueue();
      reply = makeReply(TarvoLoggerProtocol::kLoggerQueue, replyTopic, payload);
    } else {
      boost::shared_ptr<TarvoLoggerRawData> payload(new TarvoLoggerRawData());
      payload->data = borrowed->getRawData();
      reply = makeReply(TarvoLoggerProtocol::kRawData, replyTopic, payload);
    }
  } catch (...) {
    returnCore();
    throw;
  }
  returnCore();
  dispatcher->send(reply);
}
