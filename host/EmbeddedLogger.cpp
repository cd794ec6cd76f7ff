#include "host/EmbeddedLogger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "host/BusDispatcher.h"
#include "host/DefaultLogDirectory.h"
#include "host/LoggerClient.h"
#include "host/LoggerPluginFile.h"
#include "host/PluginLoader.h"
#include "host/RunningComponent.h"
#include "host/SettingsCheck.h"
#include "host/WorkerFence.h"
#include "logger/core/MainLoggerCore.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/media/MediaKeys.h"

namespace {

const char kHostName[] = "tarvo-logger";
const char kReplyTopic[] = "client:/embedded-logger";
const char kHostSection[] = "Directories/";
const auto kReplyTimeout = std::chrono::seconds(5);

// Whether an embedded logger runs in the process: from its construction to the end of its finish().
std::atomic<bool> oneRunning{false};

ConfigurationManager& hostScope() {
  return *ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope);
}
ConfigurationManager& pluginScope() {
  return *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
}

// Both scopes hold the settings and nothing else, the per-user log folder included where needed.
void configure(const EmbeddedLogger::Settings& settings) {
  hostScope().clear();
  pluginScope().clear();
  for (const auto& file : settings.hostFiles) hostScope().loadFile(file);
  for (const auto& file : settings.pluginFiles) pluginScope().loadFile(file);
  for (const auto& kv : settings.values) {
    const bool host = kv.first.compare(0, sizeof(kHostSection) - 1, kHostSection) == 0;
    (host ? hostScope() : pluginScope()).setValue(kv.first, kv.second);
  }
  // Shown on standard error unless the program chose a medium: the lines of a program that set
  // nothing are seen, not kept in a ring that nobody reads.
  std::string format;
  if (pluginScope().peekValue(MediaKeys::kStorageFormat, format) != 0) {
    pluginScope().setValue(MediaKeys::kStorageFormat, MediaKeys::kFormatConsole);
  }
  const std::string warning = DefaultLogDirectory::give(hostScope(), pluginScope());
  if (!warning.empty()) std::fprintf(stderr, "%s: warning: %s\n", kHostName, warning.c_str());
}

// Settings that will not do what they say, now that the logger has read its own: an error with
// every finding, or with lenient settings each one a warning.
void checkSettings(bool lenient) {
  const SettingsCheck::Givers givers{"Settings::hostFiles or as a Directories/ key",
                                     "Settings::pluginFiles or Settings::values"};
  const std::vector<std::string> findings =
      SettingsCheck(hostScope(), pluginScope(), givers).warnings();
  if (findings.empty()) return;
  std::string all;
  for (const auto& finding : findings) {
    if (lenient) std::fprintf(stderr, "%s: warning: %s\n", kHostName, finding.c_str());
    all += (all.empty() ? "" : "; ") + finding;
  }
  if (!lenient) {
    throw std::runtime_error(all + " (fix the setting, or set Settings::lenient to go on)");
  }
}

}  // namespace

// Destroyed in reverse: the pipe and the client, then the component (shut down first if it still
// runs), then the loader, which unloads the plug-in.
struct EmbeddedLogger::Running {
  PluginLoader loader;
  std::string pluginPath;
  std::unique_ptr<RunningComponent> logger;
  LoggerClient client{kReplyTopic};
  boost::shared_ptr<safe_pipe<std::string>> pipe;

  void start(const std::string& path) {
    pluginPath = path;
    loader.load(pluginPath);
    const char* const type = TarvoLoggerProtocol::kComponentType;
    if (!loader.hasType(type)) {
      throw std::runtime_error("plug-in " + pluginPath + " registered no " + type + " component");
    }
    logger.reset(new RunningComponent(loader, loader.create(type), kHostName));
    logger->start();
    pipe = client.requestQueue(kReplyTimeout);
    if (!pipe) {
      throw std::runtime_error(std::string("no ") + TarvoLoggerProtocol::kLoggerQueue +
                               " reply from " + TarvoLoggerProtocol::kTopic + " within " +
                               std::to_string(kReplyTimeout.count()) + " seconds");
    }
  }
};

EmbeddedLogger::EmbeddedLogger(std::initializer_list<std::pair<std::string, std::string>> values)
    : EmbeddedLogger(Settings{values, {}, {}, {}, false, TarvoLog::Level::trace, {}}) {}

EmbeddedLogger::EmbeddedLogger(Settings settings) {
  if (oneRunning.exchange(true)) {
    throw std::runtime_error(
        "an embedded logger runs in this process already: finish() or destroy it before starting "
        "another");
  }
  try {
    configure(settings);
    running.reset(new Running);
    running->start(settings.plugin.empty()
                       ? LoggerPluginFile::besideHostLibrary("give one in Settings::plugin")
                       : settings.plugin);
    checkSettings(settings.lenient);
  } catch (...) {
    running.reset();
    hostScope().clear();
    pluginScope().clear();
    oneRunning = false;
    throw;
  }
  pipe = running->pipe;
  ownLog = TarvoLog(pipe, gate, std::move(settings.extra), settings.level);
}

EmbeddedLogger::~EmbeddedLogger() {
  try {
    const bool wasRunning = running != nullptr;
    const TarvoLoggerStatsData counts = finish();
    if (wasRunning && (counts.lost > 0 || !counts.lastError.empty())) {
      std::fprintf(stderr, "%s: %s\n", kHostName, LoggerClient::lossText(counts).c_str());
    }
    const std::uint64_t dropped = droppedAfterFinish();
    if (dropped > 0) {
      std::fprintf(stderr, "%s: %llu lines written after finish() were dropped, not stored\n",
                   kHostName, static_cast<unsigned long long>(dropped));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kHostName, e.what());
  } catch (...) {
    std::fprintf(stderr, "%s: the logger's shutdown failed: an unknown exception\n", kHostName);
  }
}

TarvoLog EmbeddedLogger::writer(std::string extra, TarvoLog::Level minimum) const {
  return TarvoLog(pipe, gate, std::move(extra), minimum);
}

std::uint64_t EmbeddedLogger::droppedAfterFinish() {
  takeLateLines();
  return gate->droppedLines();
}

// The lines left in the pipe once the core stopped: a writer's pushed past the gate as it closed,
// and perhaps the core's own stop line, which is short as no writer's line is.
void EmbeddedLogger::takeLateLines() {
  if (!pipe || running) return;
  std::deque<std::string> late;
  while (!pipe->empty() && pipe->popAll(late)) {
    gate->dropMany(static_cast<std::uint64_t>(std::count_if(
        late.begin(), late.end(),
        [](const std::string& line) { return line.size() > MainLoggerCore::kShortLine; })));
    late.clear();
  }
}

std::string EmbeddedLogger::dump() {
  if (!running) {
    throw std::runtime_error(
        "cannot dump the logger: it has finished and its medium is gone (call dump() before "
        "finish())");
  }
  fenceLines += WorkerFence::kLines;
  WorkerFence::wait(*pipe);
  std::string data;
  if (!running->client.requestRawData(kReplyTimeout, data)) {
    throw std::runtime_error(std::string("cannot dump the logger: no ") +
                             TarvoLoggerProtocol::kRawData + " reply from " +
                             TarvoLoggerProtocol::kTopic + " within " +
                             std::to_string(kReplyTimeout.count()) + " seconds");
  }
  return data;
}

TarvoLoggerStatsData EmbeddedLogger::finish() {
  if (!running) return finalCounts;
  // Writers take no line from here on. A writer already past the gate may still push one after
  // the core's last sweep: it waits in the pipe, counted as dropped here or at the destruction.
  gate->close();
  running->pipe.reset();
  // The core's shutdown stores every line queued before its stop line, then flushes.
  const bool stopped = running->logger->stop();
  if (!running->client.requestStats(kReplyTimeout, finalCounts)) {
    finalCounts.lastError = std::string("no ") + TarvoLoggerProtocol::kLoggerStats +
                            " reply from " + TarvoLoggerProtocol::kTopic;
  } else if (!stopped && finalCounts.lastError.empty()) {
    finalCounts.lastError = "the logger's shutdown failed";
  }
  // dump()'s own empty lines are none of the program's.
  finalCounts.tooShort -= std::min(finalCounts.tooShort, fenceLines);
  running->logger->destroy();
  BusDispatcher::processInstance().drain();
  running.reset();
  takeLateLines();
  hostScope().clear();
  pluginScope().clear();
  oneRunning = false;
  return finalCounts;
}
