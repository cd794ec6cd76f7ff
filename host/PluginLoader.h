// Loads plug-in libraries and creates and destroys the components they register. One loader is
// used from one thread at a time; the registrations it receives may arrive on that thread only.
// Every failure throws PluginError naming the library or the component type and the cause,
// whatever the plug-in's code threw: "component ExampleClient: start failed: an unknown exception".
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "logger/host/HostApi.h"
#include "logger/host/PluginFramework.h"

class HOST_API PluginError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HOST_API PluginLoader final {
 public:
  PluginLoader();
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;
  // Destroys the components still alive and unloads every library; what fails is reported on
  // standard error.
  ~PluginLoader();

  // Opens the library (pinned, see SharedLibrary) and runs its PF_initPlugin. Returns the type
  // names it registered; each registration is kept by component type name.
  std::vector<std::string> load(const std::string& path);

  // Unloads the library (its ExitFunc called, its types forgotten, closed) now, or as soon as its
  // last component is destroyed. Its code stays mapped, because objects it made may outlive its
  // components in clients' hands.
  void unload(const std::string& path);
  bool isLoaded(const std::string& path) const;

  bool hasType(const std::string& typeName) const;
  const ComponentRegistration& registration(const std::string& typeName) const;

  // create() returns a new component of a registered type; destroy() hands it back to the
  // library that made it (null is ignored). A component whose destruction failed is gone all the
  // same: its library is unloaded as if it had succeeded.
  IComponent* create(const std::string& typeName);
  void destroy(IComponent* component);

  // The component's lifecycle calls, made so that no bus message reaches the component while one
  // of them runs (destroy() too): the process bus holds its messages back until the call returns.
  void start(IComponent* component);
  void shutdown(IComponent* component);

 private:
  struct Library;
  struct Component {
    std::string type;
    PF_DestroyFunc destroy;
    std::shared_ptr<Library> library;
  };
  static int32_t registerComponent(const char* typeName, const ComponentRegistration* reg);
  void release(const std::shared_ptr<Library>& library);
  // The type name of a component this loader made; empty for any other.
  std::string typeOf(IComponent* component) const;
  // Holds the component's bus deliveries back around call, and releases them however it ends.
  template <typename Call>
  static void withDeliveriesHeld(IComponent* component, Call call);

  std::map<std::string, std::shared_ptr<Library>> libraries;  // by path
  std::map<std::string, std::pair<ComponentRegistration, std::shared_ptr<Library>>> types;
  std::map<IComponent*, Component> components;
};
