// A host-side client of the logger (loghost's, the benchmarks'): asks for the pipe, the raw data
// and the counts over the bus, exactly as any client component does; a TarvoLog writes the pipe.
//
// Replies arrive on the bus's delivery thread; request methods block the calling thread (never
// that one) until the reply is there or the time-out passes, one thread at a time. The mutex
// guards the replies.
#pragma once

#include <boost/shared_ptr.hpp>
#include <chrono>
#include <condition_variable>
#include <string>

#include "logger/core/ThreadAnnotations.h"
#include "logger/core/safe_pipe.h"
#include "logger/host/HostApi.h"
#include "logger/host/IMessageSink.h"

class LocalMessage;
class TarvoLoggerStatsData;

class HOST_API LoggerClient final : public IMessageSink {
 public:
  explicit LoggerClient(std::string replyTopic);
  LoggerClient(const LoggerClient&) = delete;
  LoggerClient& operator=(const LoggerClient&) = delete;
  ~LoggerClient() override;

  // Null when no "LOGGER_QUEUE" with a pipe came within the time-out.
  boost::shared_ptr<safe_pipe<std::string>> requestQueue(std::chrono::milliseconds timeout)
      EXCLUDES(mutex);
  // False when no "RAW_DATA" came within the time-out.
  bool requestRawData(std::chrono::milliseconds timeout, std::string& data) EXCLUDES(mutex);
  // False when no "LOGGER_STATS" came within the time-out (a logger never started, or one that
  // does not know the request).
  bool requestStats(std::chrono::milliseconds timeout, TarvoLoggerStatsData& stats) EXCLUDES(mutex);

  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex);

  // How a host tells that the logger lost lines, from its final counts, one line without prefix
  // or line end: "the logger lost 3 of 10 lines (7 stored); last error: ...".
  static std::string lossText(const TarvoLoggerStatsData& stats);

 private:
  boost::shared_ptr<LocalMessage> request(const char* type, const char* replyType,
                                          std::chrono::milliseconds timeout) EXCLUDES(mutex);

  // Constant after construction
  const std::string replyTopic;

  // Guarded by mutex
  Mutex mutex;
  std::condition_variable arrived;
  std::string awaitedType GUARDED_BY(mutex);
  boost::shared_ptr<LocalMessage> reply GUARDED_BY(mutex);
};
