#include "loghost/RunningComponent.h"

#include <cstdio>
#include <exception>
#include <string>

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

RunningComponent::RunningComponent(PluginLoader& loader, IComponent* component)
    : loader_(loader), component_(component) {}

RunningComponent::~RunningComponent() { destroy(); }

void RunningComponent::start() {
  loader_.start(component_);  // its errors name the component already
  running_ = true;
}

bool RunningComponent::stop() {
  if (!running_) return true;
  running_ = false;
  try {
    loader_.shutdown(component_);
    return true;
  } catch (...) {
    std::fprintf(stderr, "loghost: %s\n", causeOf(std::current_exception()).c_str());
    return false;
  }
}

bool RunningComponent::destroy() {
  bool fine = stop();
  if (!component_) return fine;
  IComponent* component = component_;
  component_ = nullptr;
  try {
    loader_.destroy(component);
  } catch (...) {
    std::fprintf(stderr, "loghost: %s\n", causeOf(std::current_exception()).c_str());
    fine = false;
  }
  return fine;
}
