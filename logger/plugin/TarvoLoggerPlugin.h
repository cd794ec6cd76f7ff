// The logger component: a host component that owns one logger core while running, and a bus sink
// that answers "GET_LOGGER_QUEUE" and "GET_RAW_DATA" on "target:/TarvoLogger".
//
// The host creates and destroys it through the library's entry points and calls start(),
// shutdown(), reserved() and cleanup() one at a time from its own thread; onMessage() runs on the
// bus's delivery thread. The component owns the core alone. start() creates a core when there is
// none and subscribes once more each time; shutdown() prints its line and calls cleanup(), which
// destroys the core; the subscription stays until the component is destroyed. Destroying a
// component that still runs stops its core first, so no worker outlives it.
#pragma once

#include <boost/shared_ptr.hpp>

#include "logger/host/IComponent.h"
#include "logger/host/IMessageSink.h"

class MainLoggerCore;
class LocalMessage;

class TarvoLoggerPlugin : public IComponent, public IMessageSink {
 public:
  TarvoLoggerPlugin();
  TarvoLoggerPlugin(const TarvoLoggerPlugin&) = delete;
  TarvoLoggerPlugin& operator=(const TarvoLoggerPlugin&) = delete;
  ~TarvoLoggerPlugin() override;

  void start() override;
  void shutdown() override;
  void reserved() override;
  void cleanup() override;

  void onMessage(boost::shared_ptr<LocalMessage> message) override;

 private:
  MainLoggerCore* core;  // owned; null while not running
};
