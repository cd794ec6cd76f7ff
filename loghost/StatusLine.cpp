#include "loghost/StatusLine.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "host/LoggerClient.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "platform/StopSignals.h"

namespace {
const char kStatusTopic[] = "client:/loghost-status";
}  // namespace

StatusLine::StatusLine(boost::shared_ptr<safe_pipe<std::string>> pipe)
    : pipe_(std::move(pipe)), thread_([this] { run(); }) {}

StatusLine::~StatusLine() {
  ending_.store(true);
  thread_.join();
}

void StatusLine::run() {
  LoggerClient client(kStatusTopic);
  while (!ending_.load()) {
    if (!StopSignals::waitForRequest(100)) continue;
    if (StopSignals::takeRequests().status == 0) continue;
    TarvoLoggerStatsData stats;
    const bool answered = client.requestStats(std::chrono::seconds(1), stats);
    char counts[96] = "the logger did not answer";
    if (answered) {
      std::snprintf(counts, sizeof(counts), "%" PRIu64 " stored, %" PRIu64 " lost", stats.stored,
                    stats.lost);
    }
    std::fprintf(stderr, "loghost: status: %llu lines read, %zu queued, %s\n",
                 read_.load(std::memory_order_relaxed), pipe_->size(), counts);
    std::fflush(stderr);
  }
}
