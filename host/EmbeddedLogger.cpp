#include "host/EmbeddedLogger.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

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
#include "logger/host/OwnThreads.h"
#include "logger/media/MediaKeys.h"

namespace {

const char kHostName[] = "tarvo-logger";
const char kReplyTopic[] = "client:/embedded-logger";
const char kHostSection[] = "Directories/";
const auto kReplyTimeout = std::chrono::seconds(5);
// A program's file records reach the disk within a second unless it sets FlushSeconds itself.
const char kFilesFlushSeconds[] = "1";

// Whether an embedded logger runs in the process: from its construction to the end of its finish().
std::atomic<bool> oneRunning{false};
// The logger that runs, from the end of its construction to its finish(), for the handlers at
// fork, exit() and std::terminate; and the process that made it.
std::atomic<EmbeddedLogger*> runningLogger{nullptr};
std::atomic<long> makerProcess{0};
// What std::terminate did before the logger's handler took its place.
std::terminate_handler programsTerminate = nullptr;
// Whether std::terminate runs: the logger is finished from its handler.
std::atomic<bool> crashing{false};
// Held while the logger finishes or dumps, by its owner or by a handler at exit() or
// std::terminate, so that a handler on another thread waits for a finish() under way instead of
// ending the process in the middle of it. Recursive: std::terminate inside finish() comes back on
// the same thread. Never destroyed (the handlers run at exit); made anew in a forked child, where
// the thread that held it may not exist.
std::recursive_mutex* finishing = new std::recursive_mutex;
// How long a crash waits for the logger's finish (a worker blocked on a full standard error
// would hold it for ever).
constexpr auto kCrashFinish = std::chrono::seconds(10);

long thisProcess() {
#if defined(_WIN32)
  return static_cast<long>(::_getpid());
#else
  return static_cast<long>(::getpid());
#endif
}

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
  std::string format, flushSeconds;
  if (pluginScope().peekValue(MediaKeys::kStorageFormat, format) != 0) {
    pluginScope().setValue(MediaKeys::kStorageFormat, MediaKeys::kFormatConsole);
  } else if (format == MediaKeys::kFormatFile &&
             pluginScope().peekValue(MediaKeys::kFlushSeconds, flushSeconds) != 0) {
    pluginScope().setValue(MediaKeys::kFlushSeconds, kFilesFlushSeconds);
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
  makerProcess = thisProcess();
  runningLogger = this;
  installHandlers();
}

void EmbeddedLogger::finishRunningAtExit() {
  // Only in the process that made it, and never on a thread that finish() would join.
  if (makerProcess.load() != thisProcess() || OwnThreads::isCurrent()) return;
  const std::lock_guard<std::recursive_mutex> lock(*finishing);
  if (EmbeddedLogger* const logger = runningLogger.load()) logger->finishAndSay();
}

void EmbeddedLogger::finishAtTerminate() {
  // The thread that ended the process may have done so inside a writer's call, which the gate
  // would otherwise wait for in vain: a second for the others is enough. The finish runs on a
  // thread of its own, waited for kCrashFinish at most, so that a stalled medium cannot turn the
  // crash into a hang.
  crashing = true;
  if (!OwnThreads::isCurrent()) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      std::thread([done] {
        finishRunningAtExit();
        *done = true;
      }).detach();
      const auto end = std::chrono::steady_clock::now() + kCrashFinish;
      while (!*done && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (!*done) {
        std::fprintf(stderr,
                     "%s: the logger did not finish within %lld s of the crash (its medium "
                     "blocks); the lines it had not stored are lost\n",
                     kHostName, static_cast<long long>(kCrashFinish.count()));
      }
    } catch (...) {
      finishRunningAtExit();  // no thread to be had: finish here
    }
  }
  if (programsTerminate) programsTerminate();
  std::abort();
}

#if !defined(_WIN32)
// The fork's child has only the thread that forked: the logger's worker and the bus's delivery
// thread stayed in the parent. The inherited logger is left behind, never joined, and a new one
// may be made on a fresh bus.
void EmbeddedLogger::forgetInChild() {
  finishing = new std::recursive_mutex;
  // Also a logger that another thread of the parent was finishing.
  if (EmbeddedLogger* inherited = runningLogger.exchange(nullptr)) {
    inherited->forked = true;
    inherited->gate->closeInForkedChild();
  }
  oneRunning = false;
  BusDispatcher::forgetProcessInstanceInChild();
}
#endif

// Once a logger runs: the handlers that finish it at exit() (on Windows the header registers it
// from the program's own module, whose exit handlers run while the logger's threads still live),
// at std::terminate, and the fork's child handler. Registered after the logger's first start, so
// that the host's own statics it needs are destroyed after it runs.
void EmbeddedLogger::installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
#if !defined(_WIN32)
    std::atexit(&EmbeddedLogger::finishRunningAtExit);
    ::pthread_atfork(nullptr, nullptr, &forgetInChild);
#endif
    programsTerminate = std::get_terminate();
    std::set_terminate(&finishAtTerminate);
  });
}

EmbeddedLogger::~EmbeddedLogger() { finishAndSay(); }

void EmbeddedLogger::finishAndSay() noexcept {
  try {
    const bool wasRunning = running != nullptr && !forked;
    const TarvoLoggerStatsData counts = finish();
    if (wasRunning && (counts.lost > 0 || !counts.lastError.empty())) {
      std::fprintf(stderr, "%s: %s\n", kHostName, LoggerClient::lossText(counts).c_str());
    }
    const std::uint64_t dropped = droppedAfterFinish();
    if (dropped > 0) {
      std::fprintf(stderr, "%s: %llu lines written %s were dropped, not stored\n", kHostName,
                   static_cast<unsigned long long>(dropped),
                   forked ? "in a forked child through the parent's logger" : "after finish()");
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
  // In a forked child the pipe is the parent's, its lock perhaps held by a thread left there.
  if (!pipe || running || forked) return;
  std::deque<std::string> late;
  while (!pipe->empty() && pipe->popAll(late)) {
    gate->dropMany(static_cast<std::uint64_t>(std::count_if(
        late.begin(), late.end(),
        [](const std::string& line) { return line.size() > MainLoggerCore::kShortLine; })));
    late.clear();
  }
}

std::string EmbeddedLogger::dump() {
  if (forked) {
    throw std::runtime_error(
        "cannot dump the logger: it does not run in a forked child (create an EmbeddedLogger "
        "there)");
  }
  const std::lock_guard<std::recursive_mutex> lock(*finishing);
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
  if (forked) {
    // The parent's logger: its worker and bus are not in this process, so nothing is joined.
    (void)running.release();
    return finalCounts;
  }
  const std::lock_guard<std::recursive_mutex> lock(*finishing);
  // Not again from a handler while this thread finishes (std::terminate inside finish()).
  if (!running || finishingNow) return finalCounts;
  finishingNow = true;
  // Writers take no line from here on, and a writer already past the gate is waited for (5 s at
  // most): its line is pushed before the core's stop line, and stored.
  const auto patience = crashing ? std::chrono::seconds(1) : std::chrono::seconds(5);
  if (const std::uint32_t passing = gate->close(patience)) {
    std::fprintf(stderr,
                 "%s: %u writers were still making a line %lld s after finish() began; their "
                 "lines are not waited for and may be lost\n",
                 kHostName, passing, static_cast<long long>(patience.count()));
  }
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
  runningLogger = nullptr;  // the handlers at exit and at std::terminate have nothing to do now
  oneRunning = false;
  return finalCounts;
}
