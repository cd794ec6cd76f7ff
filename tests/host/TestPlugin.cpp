// A minimal plug-in for the loader's tests: one component type (TEST_PLUGIN_TYPE, by default
// "testcomponent") whose lifecycle calls and bus messages are counted in process-wide counters the
// test reads through dlsym.
//
// The component listens on "test:/<type>" once started. It throws where the plug-in configuration
// says, "<type>/ThrowAt" being one of init, create, start, shutdown, destroy and message: the int
// 42, or a std::runtime_error when "<type>/ThrowWhat" gives its text.

#include <atomic>
#include <stdexcept>
#include <string>

#include "logger/host/ConfigurationManager.h"
#include "logger/host/IComponent.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/host/PluginFramework.h"

#ifndef TEST_PLUGIN_VERSION_MAJOR
#define TEST_PLUGIN_VERSION_MAJOR 1
#endif
#ifndef TEST_PLUGIN_TYPE
#define TEST_PLUGIN_TYPE "testcomponent"
#endif

extern "C" {
PLUGIN_EXPORT std::atomic<int> testPluginStarts{0};
PLUGIN_EXPORT std::atomic<int> testPluginLive{0};
PLUGIN_EXPORT std::atomic<int> testPluginExits{0};
PLUGIN_EXPORT std::atomic<int> testPluginMessages{0};
}

namespace {

const std::string kType = TEST_PLUGIN_TYPE;
const std::string kTopic = "test:/" + kType;

void throwIfAskedAt(const char* point) {
  ConfigurationManager& config =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  std::string at, what;
  if (config.getValue(kType + "/ThrowAt", at) != 0 || at != point) return;
  if (config.getValue(kType + "/ThrowWhat", what) == 0) throw std::runtime_error(what);
  throw 42;
}

class TestComponent final : public IComponent, public IMessageSink {
 public:
  TestComponent() { ++testPluginLive; }
  ~TestComponent() override {
    if (MessageDispatcher* bus = MessageDispatcher::getInstance()) bus->unsubscribe(this, "");
    unsubscribeOnDestroy = false;
    --testPluginLive;
  }
  void start() override {
    ++testPluginStarts;
    if (MessageDispatcher* bus = MessageDispatcher::getInstance()) bus->subscribe(this, kTopic);
    throwIfAskedAt("start");
  }
  void shutdown() override { throwIfAskedAt("shutdown"); }
  void reserved() override {}
  void cleanup() override {}
  void onMessage(boost::shared_ptr<LocalMessage>) override {
    ++testPluginMessages;
    throwIfAskedAt("message");
  }
};

IComponent* create(void*) {
  throwIfAskedAt("create");
  return new TestComponent();
}

int32_t destroy(IComponent* component) {
  delete component;
  throwIfAskedAt("destroy");
  return 0;
}

int32_t exitPlugin() {
  ++testPluginExits;
  return 0;
}

}  // namespace

extern "C" PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const HostServices* services) {
  ComponentRegistration registration{TEST_PLUGIN_VERSION_MAJOR, 0, &create, &destroy, 1};
  if (services->registerComponent(kType.c_str(), &registration) < 0) return nullptr;
  throwIfAskedAt("init");
  return &exitPlugin;
}
