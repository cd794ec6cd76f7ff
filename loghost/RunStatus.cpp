#include "loghost/RunStatus.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/LoggerClient.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "platform/MetricsFile.h"
#include "platform/StopSignals.h"

namespace {
const char kStatusTopic[] = "client:/loghost-status";
const auto kStatsTimeout = std::chrono::seconds(1);
}  // namespace

RunStatus::RunStatus(boost::shared_ptr<safe_pipe<std::string>> thePipe,
                     const std::string& metricsPath, std::chrono::milliseconds metricsInterval)
    : pipe(std::move(thePipe)),
      metrics(metricsPath.empty() ? nullptr : new MetricsFile(metricsPath)),
      interval(metricsInterval),
      thread([this] { run(); }) {}

RunStatus::~RunStatus() {
  ending.store(true);
  if (thread.joinable()) thread.join();
}

bool RunStatus::finish(const TarvoLoggerStatsData* stats) {
  ending.store(true);
  if (thread.joinable()) thread.join();
  return !metrics || writeMetrics(stats, true);
}

void RunStatus::run() {
  LoggerClient client(kStatusTopic);
  auto nextMetrics = std::chrono::steady_clock::now();
  while (!ending.load()) {
    if (metrics && std::chrono::steady_clock::now() >= nextMetrics) {
      TarvoLoggerStatsData stats;
      writeMetrics(client.requestStats(kStatsTimeout, stats) ? &stats : nullptr, false);
      nextMetrics = std::chrono::steady_clock::now() + interval;
    }
    if (!StopSignals::waitForRequest(100)) continue;
    if (StopSignals::takeRequests().status == 0) continue;
    TarvoLoggerStatsData stats;
    const bool answered = client.requestStats(kStatsTimeout, stats);
    char counts[96] = "the logger did not answer";
    if (answered) {
      std::snprintf(counts, sizeof(counts), "%" PRIu64 " stored, %" PRIu64 " lost", stats.stored,
                    stats.lost);
    }
    std::fprintf(stderr, "loghost: status: %llu lines read, %zu queued, %s\n",
                 read.load(std::memory_order_relaxed), pipe->size(), counts);
    std::fflush(stderr);
  }
}

unsigned long long RunStatus::shortLines(const TarvoLoggerStatsData& stats) const {
  // Read after the counts came: at least every short line of loghost's that they hold.
  const unsigned long long own = ownShort.load(std::memory_order_relaxed);
  return stats.tooShort > own ? stats.tooShort - own : 0;
}

bool RunStatus::writeMetrics(const TarvoLoggerStatsData* stats, bool last) {
  MetricsFile& file = *metrics;
  file.counter("loghost_lines_read_total", "Lines read from the inputs.",
               read.load(std::memory_order_relaxed));
  file.gauge("loghost_lines_queued", "Lines waiting in the logger's pipe.", pipe->size());
  file.gauge("loghost_queued_bytes", "Bytes of loghost's lines that may wait in the pipe.",
             queuedBytes.load(std::memory_order_relaxed));
  file.counter("loghost_lines_unsplit_total",
               "Lines with no vertical tab, stored whole in the time field.",
               unsplit.load(std::memory_order_relaxed));
  file.counter("loghost_lines_fields_cut_total",
               "Lines with more than six fields, stored without the seventh and later.",
               cut.load(std::memory_order_relaxed));
  if (stats) {
    file.counter("loghost_lines_stored_total", "Lines the logger stored or sent.", stats->stored);
    file.counter("loghost_lines_lost_total",
                 "Lines the logger lost: dropped, not sent, or not written.", stats->lost);
    shortWritten = std::max(shortWritten, shortLines(*stats));
    file.counter("loghost_lines_short_total",
                 "Lines of 20 bytes or fewer, which the logger drops by design.", shortWritten);
  }
  // During the run a failure is told once per cause; the last one always, as it fails the run.
  const std::error_code error = file.write();
  if (error && (last || file.isNewCause(error))) {
    std::fprintf(stderr, "loghost: %s\n", file.describe(error, last).c_str());
  }
  return !error;
}
