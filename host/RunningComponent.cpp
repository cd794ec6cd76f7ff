#include "host/RunningComponent.h"

#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "host/PluginLoader.h"

namespace {
std::string causeOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown exception";
  }
}
}  // namespace

RunningComponent::RunningComponent(PluginLoader& theLoader, IComponent* theComponent,
                                   std::string theHostName)
    : loader(theLoader), component(theComponent), hostName(std::move(theHostName)) {}

RunningComponent::~RunningComponent() { destroy(); }

void RunningComponent::start() {
  loader.start(component);  // its errors name the component already
  running = true;
}

bool RunningComponent::stop() {
  if (!running) return true;
  running = false;
  try {
    loader.shutdown(component);
    return true;
  } catch (...) {
    std::fprintf(stderr, "%s: %s\n", hostName.c_str(), causeOf(std::current_exception()).c_str());
    return false;
  }
}

bool RunningComponent::destroy() {
  bool fine = stop();
  if (!component) return fine;
  IComponent* theComponent = component;
  component = nullptr;
  try {
    loader.destroy(theComponent);
  } catch (...) {
    std::fprintf(stderr, "%s: %s\n", hostName.c_str(), causeOf(std::current_exception()).c_str());
    fine = false;
  }
  return fine;
}
