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
    : replyTopic_(topicFor(this)),
      threads_(readCount("ExampleClient/Threads", 2)),
      lines_(readCount("ExampleClient/Lines", 1000)) {}

ExampleClient::~ExampleClient() {
  // Off the bus first, so that no late reply starts threads while the client goes.
  if (MessageDispatcher* bus = MessageDispatcher::getInstance()) bus->unsubscribe(this, "");
  cleanup();
}

void ExampleClient::start() {
  {
    MutexLock lock(mutex_);
    stopped_ = false;
  }
  MessageDispatcher* bus = MessageDispatcher::getInstance();
  if (!bus) return;
  bus->subscribe(this, replyTopic_);
  CommonMessageProperties request;
  request.messageType = TarvoLoggerProtocol::kGetLoggerQueue;
  request.topic = TarvoLoggerProtocol::kTopic;
  request.replyTopic = replyTopic_;
  bus->send(boost::shared_ptr<LocalMessage>(new LocalMessage(request)));
}

void ExampleClient::onMessage(boost::shared_ptr<LocalMessage> message) {
  if (message->getMessageType() != TarvoLoggerProtocol::kLoggerQueue) return;
  auto* data = dynamic_cast<TarvoLoggerQueueData*>(message->getPayload().get());
  if (!data || !data->queue) return;
  MutexLock lock(mutex_);
  if (queue_ || stopped_) return;  // a second reply, or one after shutdown, changes nothing
  queue_ = data->queue;
  for (unsigned t = 0; t < threads_; ++t) pushers_.emplace_back(&ExampleClient::push, this, t);
  replied_.notify_all();
}

void ExampleClient::push(int thread) {
  boost::shared_ptr<safe_pipe<std::string>> queue;
  {
    MutexLock lock(mutex_);
    queue = queue_;
  }
  const TarvoLog log(queue, "from the example client");
  for (unsigned n = 0; n < lines_; ++n) {
    log.info("example_client",
             "line " + std::to_string(n) + " of thread " + std::to_string(thread));
  }
}

void ExampleClient::shutdown() {
  MutexLock lock(mutex_);
  replied_.wait_for(lock.waitable(), std::chrono::seconds(10),
                    [&]() REQUIRES(mutex_) { return queue_ != nullptr; });
  stopped_ = true;
  lock.unlock();
  cleanup();
}

void ExampleClient::cleanup() {
  std::vector<std::thread> pushers;
  {
    MutexLock lock(mutex_);
    pushers.swap(pushers_);
  }
  for (auto& p : pushers) p.join();
  MutexLock lock(mutex_);
  queue_.reset();
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
