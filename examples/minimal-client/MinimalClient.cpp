// The smallest complete client component of the logger: on start it asks the logger for its pipe
// over the bus, and when the pipe arrives it pushes three lines. Built apart from the logger,
// against the installed headers and host library only, and run with
//   loghost --component ./libminimalclient.so
// CLIENT_NAME names the component type, its reply topic and the lines' source field.
#include <boost/shared_ptr.hpp>
#include <string>

#include "logger/host/IComponent.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/host/PluginFramework.h"
#include "logger/plugin/TarvoLog.h"
#include "logger/plugin/TarvoLoggerPayloads.h"

#ifndef CLIENT_NAME
#define CLIENT_NAME "minimalclient"
#endif

namespace {

const std::string kReplyTopic = std::string("client:/") + CLIENT_NAME;

class MinimalClient final : public IComponent, public IMessageSink {
 public:
  // Subscribes to its own reply topic, then asks "target:/TarvoLogger" for the pipe.
  void start() override {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    if (!bus) return;
    bus->subscribe(this, kReplyTopic);
    CommonMessageProperties request;
    request.messageType = TarvoLoggerProtocol::kGetLoggerQueue;
    request.topic = TarvoLoggerProtocol::kTopic;
    request.replyTopic = kReplyTopic;
    bus->send(boost::shared_ptr<LocalMessage>(new LocalMessage(request)));
  }

  // The "LOGGER_QUEUE" reply, on the bus's delivery thread. A TarvoLog over the pipe may be kept
  // and written through from any thread; this client writes its three lines at once, each with
  // the time, its thread, INFO, the source CLIENT_NAME, "line <n>" and the extra field.
  void onMessage(boost::shared_ptr<LocalMessage> message) override {
    auto* reply = dynamic_cast<TarvoLoggerQueueData*>(message->getPayload().get());
    if (!reply || !reply->queue) return;
    const TarvoLog log(reply->queue, "from a client built apart");
    for (int n = 1; n <= 3; ++n) log.info(CLIENT_NAME, "line " + std::to_string(n));
  }

  void shutdown() override {}
  void reserved() override {}
  void cleanup() override {}
};

IComponent* create(void*) { return new MinimalClient(); }
int32_t destroy(IComponent* component) {
  delete component;  // the sink base leaves the bus
  return 0;
}
int32_t exitClient() { return 0; }

}  // namespace

// The one name the host looks up: registers the component type and returns the exit function.
extern "C" PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const HostServices* services) {
  if (!services || !services->registerComponent) return nullptr;
  ComponentRegistration registration{1, 0, &create, &destroy, 1};
  if (services->registerComponent(CLIENT_NAME, &registration) < 0) return nullptr;
  return &exitClient;
}
