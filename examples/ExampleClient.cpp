#include "examples/ExampleClient.h"

#include <chrono>
#include <cstdio>

#include "logger/host/ConfigurationManager.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/host/PluginFramework.h"
#include "logger/plugin/TarvoLog.h"
#include "logger/plugin/TarvoLoggerPayloads.h"

namespace {

unsigned readCount(const char* key, unsigned fallback) {
  std::string text;
  if (ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope)
          ->getValue(key, text) != 0) {
    return fallback;
  }
  try {
    return static_cast<unsigned>(std::stoul(text));
  } catch (const std::exception&) {
    return fallback;
  }
}

std::string topicFor(const void* client) {
  char text[64];
  std::snprintf(text, sizeof(text), "client:/ExampleClient/%p", client);
  return text;
}

}  // namespace

ExampleClient::ExampleClient()
    : replyTopic(topicFor(this)),
      threads(readCount("ExampleClient/Threads", 2)),
      lines(readCount("ExampleClient/Lines", 1000)) {}

ExampleClient::~ExampleClient() {
  // Off the bus first, so that no late reply starts threads while the client goes.
  if (MessageDispatcher* bus = MessageDispatcher::getInstance()) bus->unsubscribe(this, "");
  cleanup();
}

void ExampleClient::start() {
  {
    MutexLock lock(mutex);
    stopped = false;
  }
  MessageDispatcher* bus = MessageDispatcher::getInstance();
  if (!bus) return;
  bus->subscribe(this, replyTopic);
  CommonMessageProperties request;
  request.messageType = TarvoLoggerProtocol::kGetLoggerQueue;
  request.topic = TarvoLoggerProtocol::kTopic;
  request.replyTopic = replyTopic;
  bus->send(boost::shared_ptr<LocalMessage>(new LocalMessage(request)));
}

void ExampleClient::onMessage(boost::shared_ptr<LocalMessage> message) {
  if (message->getMessageType() != TarvoLoggerProtocol::kLoggerQueue) return;
  auto* data = dynamic_cast<TarvoLoggerQueueData*>(message->getPayload().get());
  if (!data || !data->queue) return;
  MutexLock lock(mutex);
  if (queue || stopped) return;  // a second reply, or one after shutdown, changes nothing
  queue = data->queue;
  for (unsigned t = 0; t < threads; ++t) pushers.emplace_back(&ExampleClient::push, this, t);
  replied.notify_all();
}

void ExampleClient::push(int thread) {
  boost::shared_ptr<safe_pipe<std::string>> theQueue;
  {
    MutexLock lock(mutex);
    theQueue = queue;
  }
  const TarvoLog log(theQueue, "from the example client");
  for (unsigned n = 0; n < lines; ++n) {
    log.info("example_client",
             "line " + std::to_string(n) + " of thread " + std::to_string(thread));
  }
}

void ExampleClient::shutdown() {
  MutexLock lock(mutex);
  replied.wait_for(lock.waitable(), std::chrono::seconds(10),
                   [&]() REQUIRES(mutex) { return queue != nullptr; });
  stopped = true;
  lock.unlock();
  cleanup();
}

void ExampleClient::cleanup() {
  std::vector<std::thread> thePushers;
  {
    MutexLock lock(mutex);
    thePushers.swap(pushers);
  }
  for (auto& p : thePushers) p.join();
  MutexLock lock(mutex);
  queue.reset();
}

namespace {
IComponent* create(void*) { return new ExampleClient(); }
int32_t destroy(IComponent* component) {
  delete component;
  return 0;
}
int32_t exitClient() { return 0; }
}  // namespace

extern "C" PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const HostServices* services) {
  if (!services || !services->registerComponent) return nullptr;
  ComponentRegistration registration{1, 0, &create, &destroy, 1};
  if (services->registerComponent("exampleclient", &registration) < 0) return nullptr;
  return &exitClient;
}
