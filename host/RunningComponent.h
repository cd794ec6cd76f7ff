// One component that a host created (loghost, the embedded logger): started by start(), and shut
// down and destroyed on every path out of the run, a failed one included, so that no component is
// destroyed while it still runs and a failing client never keeps the logger from storing what was
// read. Failures are printed on standard error after the host's name ("loghost: ...").
//
// Used from the host's one controlling thread; the loader outlives it.
#pragma once

#include <string>

#include "logger/host/HostApi.h"

class IComponent;
class PluginLoader;

class HOST_API RunningComponent final {
 public:
  RunningComponent(PluginLoader& loader, IComponent* component, std::string hostName);
  RunningComponent(const RunningComponent&) = delete;
  RunningComponent& operator=(const RunningComponent&) = delete;
  // Shuts it down if it is still running, then destroys it; failures are printed, not thrown.
  ~RunningComponent();

  // Throws the loader's PluginError, which names the component and the cause, when start fails.
  void start();
  // Shuts it down once (later calls do nothing). Returns false, the loader's error printed on
  // standard error, when its shutdown failed.
  bool stop();
  // Destroys it now (stopping it first); later calls and the destructor do nothing.
  bool destroy();

 private:
  PluginLoader& loader;
  IComponent* component;
  const std::string hostName;
  bool running = false;
};
