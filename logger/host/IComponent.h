// A host component whose lifecycle the host drives.
//
// The host calls start(), shutdown(), reserved() and cleanup() one at a time, from its own thread.
#pragma once

#include "logger/host/HostApi.h"

class HOST_API IComponent {
 public:
  virtual ~IComponent() {}
  virtual void start() = 0;
  virtual void shutdown() = 0;
  virtual void reserved() = 0;
  virtual void cleanup() = 0;
};
