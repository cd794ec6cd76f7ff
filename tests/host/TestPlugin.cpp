// A minimal plug-in for the loader's tests: one component type, "testcomponent", whose lifecycle
// calls are counted in process-wide counters the test reads through dlsym.

#include <atomic>

#include "logger/host/IComponent.h"
#include "logger/host/PluginFramework.h"

#ifndef TEST_PLUGIN_VERSION_MAJOR
#define TEST_PLUGIN_VERSION_MAJOR 1
#endif

extern "C" {
PLUGIN_EXPORT std::atomic<int> testPluginStarts{0};
PLUGIN_EXPORT std::atomic<int> testPluginLive{0};
PLUGIN_EXPORT std::atomic<int> testPluginExits{0};
}

namespace {

class TestComponent final : public IComponent {
 public:
  TestComponent() { ++testPluginLive; }
  ~TestComponent() override { --testPluginLive; }
  void start() override { ++testPluginStarts; }
  void shutdown() override {}
  void reserved() override {}
  void cleanup() override {}
};

IComponent* create(void*) { return new TestComponent(); }

int32_t destroy(IComponent* component) {
  delete component;
  return 0;
}

int32_t exitPlugin() {
  ++testPluginExits;
  return 0;
}

}  // namespace

extern "C" PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const HostServices* services) {
  ComponentRegistration registration{TEST_PLUGIN_VERSION_MAJOR, 0, &create, &destroy, 1};
  if (services->registerComponent("testcomponent", &registration) < 0) return nullptr;
  return &exitPlugin;
}
