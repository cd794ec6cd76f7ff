// The library's door to the host: PF_initPlugin registers the component type
// "000udploggerplugin" and hands back ExitFunc. These two are the only exported names.

#include <new>

#include "logger/host/PluginFramework.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "logger/plugin/TarvoLoggerPlugin.h"

namespace {

// Reads no argument; the host starts the component through IComponent.
IComponent* createPlugin(void*) { return new (std::nothrow) TarvoLoggerPlugin(); }

// Destroys through the virtual destructor; 0 in every case, also for null.
int32_t destroyPlugin(IComponent* component) {
  delete component;
  return 0;
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t ExitFunc() { return 0; }

PLUGIN_EXPORT PF_ExitFunc PF_initPlugin(const HostServices* services) {
  ComponentRegistration registration{1, 0, &createPlugin, &destroyPlugin, 1};
  if (!services || !services->registerComponent) return nullptr;
  if (services->registerComponent(TarvoLoggerProtocol::kComponentType, &registration) < 0)
    return nullptr;
  return &ExitFunc;
}
}
