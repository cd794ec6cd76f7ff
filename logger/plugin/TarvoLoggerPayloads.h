// What clients share with the logger plug-in: where to ask, what to ask, and the reply payloads.
// Each payload is made for one reply and owned through shared references by the reply and
// whoever keeps it. The types are visible across libraries so that a dynamic_cast works in
// separately built clients.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "logger/core/safe_pipe.h"
#include "logger/host/HostApi.h"
#include "logger/host/ISerializable.h"

// A client subscribes to a reply topic of its own, sends "GET_LOGGER_QUEUE" to kTopic with that
// reply topic, and receives "LOGGER_QUEUE" whose payload, cast with dynamic_cast to
// TarvoLoggerQueueData, holds the shared pipe to push lines into from any thread. "GET_RAW_DATA"
// is answered with "RAW_DATA" and a TarvoLoggerRawData, and "GET_LOGGER_STATS" with
// "LOGGER_STATS" and a TarvoLoggerStatsData (after shutdown too, with the final counts). Before
// the first start no request is answered.
namespace TarvoLoggerProtocol {
// The component type the plug-in registers, for hosts that create it by name.
constexpr const char* kComponentType = "000udploggerplugin";
constexpr const char* kTopic = "target:/TarvoLogger";
constexpr const char* kGetLoggerQueue = "GET_LOGGER_QUEUE";
constexpr const char* kLoggerQueue = "LOGGER_QUEUE";
constexpr const char* kGetRawData = "GET_RAW_DATA";
constexpr const char* kRawData = "RAW_DATA";
constexpr const char* kGetLoggerStats = "GET_LOGGER_STATS";
constexpr const char* kLoggerStats = "LOGGER_STATS";
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

// The worker's counts at the moment of the request.
class HOST_SHARED_TYPE TarvoLoggerStatsData : public ISerializable {
 public:
  std::string serialize() override { return std::string(); }
  ~TarvoLoggerStatsData() override {}

  std::uint64_t taken = 0;     // lines taken from the pipe
  std::uint64_t tooShort = 0;  // lines of 20 bytes or fewer, never stored
  std::uint64_t stored = 0;    // lines stored or sent (the disk medium: buffered or written)
  std::uint64_t lost = 0;      // records or lines the medium dropped or could not write or send
  std::string lastError;       // the last error the logger reported, or empty
};
