#include "host/PluginLoader.h"

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
}  // namespace

PluginLoader::PluginLoader() = default;

PluginLoader::~PluginLoader() {
  while (!components_.empty()) destroy(components_.begin()->first);
  while (!libraries_.empty()) unload(libraries_.begin()->first);
}

int32_t PluginLoader::registerComponent(const char* typeName, const ComponentRegistration* reg) {
  if (!currentLoader || !pendingRegistrations) return -1;  // not during a load
  if (!typeName || !*typeName || !reg) return -1;
  if (reg->versionMajor != 1 || !reg->create || !reg->destroy) return -1;
  if (currentLoader->types_.count(typeName)) return -1;
  for (const auto& pending : *pendingRegistrations) {
    if (pending.first == typeName) return -1;
  }
  pendingRegistrations->emplace_back(typeName, *reg);
  return 0;
}

std::vector<std::string> PluginLoader::load(const std::string& path) {
  if (libraries_.count(path)) throw PluginError("plug-in " + path + " is already loaded");
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
    exitFunc = init(&services);
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
    types_[r.first] = {r.second, library};
    library->types.push_back(r.first);
  }
  libraries_[path] = library;
  return library->types;
}

void PluginLoader::unload(const std::string& path) {
  auto it = libraries_.find(path);
  if (it == libraries_.end()) return;
  std::shared_ptr<Library> library = it->second;
  // No new components of a library on its way out.
  library->unloadRequested = true;
  for (const auto& type : library->types) types_.erase(type);
  release(library);
}

void PluginLoader::release(const std::shared_ptr<Library>& library) {
  if (!library->unloadRequested || library->liveComponents > 0) return;
  libraries_.erase(library->path);
  // Messages still queued on the bus may hold payloads whose code lives in the library.
  if (MessageDispatcher::getInstance() == &BusDispatcher::processInstance()) {
    BusDispatcher::processInstance().drain();
  }
  library->exitFunc();
  SharedLibrary::close(library->handle);
  library->handle = nullptr;
}

bool PluginLoader::isLoaded(const std::string& path) const { return libraries_.count(path) > 0; }

bool PluginLoader::hasType(const std::string& typeName) const { return types_.count(typeName) > 0; }

const ComponentRegistration& PluginLoader::registration(const std::string& typeName) const {
  auto it = types_.find(typeName);
  if (it == types_.end()) throw PluginError("no component type " + typeName + " is registered");
  return it->second.first;
}

IComponent* PluginLoader::create(const std::string& typeName) {
  auto it = types_.find(typeName);
  if (it == types_.end()) throw PluginError("no component type " + typeName + " is registered");
  IComponent* component = it->second.first.create(nullptr);
  if (!component) {
    throw PluginError("plug-in " + it->second.second->path + " could not create a " + typeName);
  }
  components_[component] = {it->second.first.destroy, it->second.second};
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
  struct Release {
    BusDispatcher* bus;
    IMessageSink* sink;
    ~Release() { bus->release(sink); }
  } release{bus, sink};
  call();
}

void PluginLoader::start(IComponent* component) {
  if (component) withDeliveriesHeld(component, [&] { component->start(); });
}

void PluginLoader::shutdown(IComponent* component) {
  if (component) withDeliveriesHeld(component, [&] { component->shutdown(); });
}

void PluginLoader::destroy(IComponent* component) {
  auto it = components_.find(component);
  if (it == components_.end()) return;
  PF_DestroyFunc destroyFunc = it->second.first;
  std::shared_ptr<Library> library = it->second.second;
  components_.erase(it);
  withDeliveriesHeld(component, [&] { destroyFunc(component); });
  --library->liveComponents;
  release(library);
}
