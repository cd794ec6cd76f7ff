#include "host/PluginLoader.h"

#include <cstdio>
#include <exception>

#include "host/BusDispatcher.h"
#include "logger/host/IComponent.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/MessageDispatcher.h"
#include "platform/SharedLibrary.h"

struct PluginLoader::Library {
  std::string path;
  void* handle = nullptr;
  PF_ExitFunc exitFunc = nullptr;
  std::vector<std::string> types;
  std::size_t liveComponents = 0;
  bool unloadRequested = false;
};

namespace {
// The loader and library whose PF_initPlugin is running on this thread.
thread_local PluginLoader* currentLoader = nullptr;
thread_local std::vector<std::pair<std::string, ComponentRegistration>>* pendingRegistrations =
    nullptr;

// Runs a call into a plug-in's code, which may throw anything. What it throws leaves as a
// PluginError that says who failed at what and why:
//   component ExampleClient: start failed: an unknown exception
// The text of a std::exception that names the component or library already is kept as it is.
template <typename Call>
auto guarded(const std::string& who, const std::string& name, const char* step, Call call)
    -> decltype(call()) {
  try {
    return call();
  } catch (const std::exception& e) {
    const std::string what = e.what();
    if (!name.empty() && what.find(name) != std::string::npos) throw PluginError(what);
    throw PluginError(who + ": " + step + " failed: " + what);
  } catch (...) {
    throw PluginError(who + ": " + step + " failed: an unknown exception");
  }
}

// "component ExampleClient"; "a component" when the loader did not make it.
std::string componentCalled(const std::string& type) {
  return type.empty() ? "a component" : "component " + type;
}
}  // namespace

PluginLoader::PluginLoader() = default;

PluginLoader::~PluginLoader() {
  while (!components.empty()) {
    try {
      destroy(components.begin()->first);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "plug-in loader: %s\n", e.what());
    }
  }
  while (!libraries.empty()) {
    try {
      unload(libraries.begin()->first);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "plug-in loader: %s\n", e.what());
    }
  }
}

int32_t PluginLoader::registerComponent(const char* typeName, const ComponentRegistration* reg) {
  if (!currentLoader || !pendingRegistrations) return -1;  // not during a load
  if (!typeName || !*typeName || !reg) return -1;
  if (reg->versionMajor != 1 || !reg->create || !reg->destroy) return -1;
  if (currentLoader->types.count(typeName)) return -1;
  for (const auto& pending : *pendingRegistrations) {
    if (pending.first == typeName) return -1;
  }
  pendingRegistrations->emplace_back(typeName, *reg);
  return 0;
}

std::vector<std::string> PluginLoader::load(const std::string& path) {
  if (libraries.count(path)) throw PluginError("plug-in " + path + " is already loaded");
  // Pinned: unloading forgets the library but leaves its code mapped. Clients may still hold
  // objects it made (a logger's pipe, a reply payload) whose deleters are its code.
  std::string error;
  SharedLibrary::Handle handle = SharedLibrary::open(path, error);
  if (!handle) throw PluginError("cannot load plug-in " + path + ": " + error);

  auto init = reinterpret_cast<PF_InitFunc>(SharedLibrary::symbol(handle, "PF_initPlugin"));
  if (!init) {
    SharedLibrary::close(handle);
    throw PluginError("plug-in " + path + " has no PF_initPlugin");
  }

  HostServices services{1, 0, &PluginLoader::registerComponent};
  std::vector<std::pair<std::string, ComponentRegistration>> registrations;
  currentLoader = this;
  pendingRegistrations = &registrations;
  PF_ExitFunc exitFunc = nullptr;
  try {
    exitFunc = guarded("plug-in " + path, path, "PF_initPlugin", [&] { return init(&services); });
  } catch (...) {
    currentLoader = nullptr;
    pendingRegistrations = nullptr;
    SharedLibrary::close(handle);
    throw;
  }
  currentLoader = nullptr;
  pendingRegistrations = nullptr;
  if (!exitFunc) {
    SharedLibrary::close(handle);
    throw PluginError("plug-in " + path +
                      ": PF_initPlugin returned null (its component registration was refused)");
  }

  auto library = std::make_shared<Library>();
  library->path = path;
  library->handle = handle;
  library->exitFunc = exitFunc;
  for (const auto& r : registrations) {
    types[r.first] = {r.second, library};
    library->types.push_back(r.first);
  }
  libraries[path] = library;
  return library->types;
}

void PluginLoader::unload(const std::string& path) {
  auto it = libraries.find(path);
  if (it == libraries.end()) return;
  std::shared_ptr<Library> library = it->second;
  // No new components of a library on its way out.
  library->unloadRequested = true;
  for (const auto& type : library->types) types.erase(type);
  release(library);
}

void PluginLoader::release(const std::shared_ptr<Library>& library) {
  if (!library->unloadRequested || library->liveComponents > 0) return;
  libraries.erase(library->path);
  // Messages still queued on the bus may hold payloads whose code lives in the library.
  if (MessageDispatcher::getInstance() == &BusDispatcher::processInstance()) {
    BusDispatcher::processInstance().drain();
  }
  struct Close {
    Library& library;
    ~Close() {
      SharedLibrary::close(library.handle);
      library.handle = nullptr;
    }
  } closer{*library};
  guarded("plug-in " + library->path, library->path, "exit", [&] { library->exitFunc(); });
}

bool PluginLoader::isLoaded(const std::string& path) const { return libraries.count(path) > 0; }

bool PluginLoader::hasType(const std::string& typeName) const { return types.count(typeName) > 0; }

const ComponentRegistration& PluginLoader::registration(const std::string& typeName) const {
  auto it = types.find(typeName);
  if (it == types.end()) throw PluginError("no component type " + typeName + " is registered");
  return it->second.first;
}

std::string PluginLoader::typeOf(IComponent* component) const {
  auto it = components.find(component);
  return it == components.end() ? std::string() : it->second.type;
}

IComponent* PluginLoader::create(const std::string& typeName) {
  auto it = types.find(typeName);
  if (it == types.end()) throw PluginError("no component type " + typeName + " is registered");
  PF_CreateFunc createFunc = it->second.first.create;
  IComponent* component =
      guarded(componentCalled(typeName), typeName, "create", [&] { return createFunc(nullptr); });
  if (!component) {
    throw PluginError("plug-in " + it->second.second->path + " could not create a " + typeName);
  }
  components[component] = {typeName, it->second.first.destroy, it->second.second};
  ++it->second.second->liveComponents;
  return component;
}

template <typename Call>
void PluginLoader::withDeliveriesHeld(IComponent* component, Call call) {
  // Only the process bus can hold messages back; a dispatcher installed by someone else is left
  // to its owner.
  IMessageSink* sink = dynamic_cast<IMessageSink*>(component);
  BusDispatcher* bus = &BusDispatcher::processInstance();
  if (!sink || MessageDispatcher::getInstance() != bus) {
    call();
    return;
  }
  bus->hold(sink);
  // Released on every way out, a throwing call's included.
  struct Release {
    BusDispatcher* bus;
    IMessageSink* sink;
    ~Release() { bus->release(sink); }
  } release{bus, sink};
  call();
}

void PluginLoader::start(IComponent* component) {
  if (!component) return;
  const std::string type = typeOf(component);
  withDeliveriesHeld(component, [&] {
    guarded(componentCalled(type), type, "start", [&] { component->start(); });
  });
}

void PluginLoader::shutdown(IComponent* component) {
  if (!component) return;
  const std::string type = typeOf(component);
  withDeliveriesHeld(component, [&] {
    guarded(componentCalled(type), type, "shutdown", [&] { component->shutdown(); });
  });
}

void PluginLoader::destroy(IComponent* component) {
  auto it = components.find(component);
  if (it == components.end()) return;
  const Component made = it->second;
  components.erase(it);
  std::exception_ptr failure;
  try {
    withDeliveriesHeld(component, [&] {
      guarded(componentCalled(made.type), made.type, "destroy", [&] { made.destroy(component); });
    });
  } catch (const PluginError&) {
    failure = std::current_exception();
  }
  --made.library->liveComponents;
  release(made.library);
  if (failure) std::rethrow_exception(failure);
}
