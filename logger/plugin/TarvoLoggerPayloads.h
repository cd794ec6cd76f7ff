// What clients share with the logger plug-in: where to ask, what to ask, and the reply payloads.
//
// A client subscribes to a reply topic of its own, sends "GET_LOGGER_QUEUE" to
// "target:/TarvoLogger" with that reply topic, and receives "LOGGER_QUEUE" whose payload, cast
// with dynamic_cast to TarvoLoggerQueueData, holds the shared pipe to push lines into from any
// thread. "GET_RAW_DATA" is answered with "RAW_DATA" and a TarvoLoggerRawData. Each payload is
// made for one reply and owned through shared references by the reply and whoever keeps it.
// The types are visible across libraries so that the cast works in separately built clients.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "logger/core/safe_pipe.h"
#include "logger/host/HostApi.h"
#include "logger/host/ISerializable.h"

namespace TarvoLoggerProtocol {
// The component type the plug-in registers, for hosts that create it by name.
constexpr const char* kComponentType = "000udploggerplugin";
constexpr const char* kTopic = "target:/TarvoLogger";
constexpr const char* kGetLoggerQueue = "GET_LOGGER_QUEUE";
constexpr const char* kLoggerQueue = "LOGGER_QUEUE";
constexpr const char* kGetRawData = "GET_RAW_DATA";
constexpr const char* kRawData = "RAW_DATA";
}  // namespace TarvoLoggerProtocol

class HOST_SHARED_TYPE TarvoLoggerQueueData : public ISerializable {
 public:
  std::string serialize() override { return std::string(); }
  ~TarvoLoggerQueueData() override {}

  boost::shared_ptr<safe_pipe<std::string>> queue;
};

class HOST_SHARED_TYPE TarvoLoggerRawData : public ISerializable {
 public:
  std::string serialize() override { return std::string(); }
  ~TarvoLoggerRawData() override {}

  std::string data;
};
