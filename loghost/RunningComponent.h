// One component that loghost created: started by start(), and shut down and destroyed on every
// path out of the run, a failed one included, so that no component is destroyed while it still
// runs and a failing client never keeps the logger from storing what was read.
//
// Used from loghost's main thread only; the loader outlives it.
#pragma once

class IComponent;
class PluginLoader;

class RunningComponent final {
 public:
  RunningComponent(PluginLoader& loader, IComponent* component);
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
  bool running = false;
};
