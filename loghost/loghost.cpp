// loghost: a host with one client built in. It loads the logger plug-in, starts its component,
// and any client components given with --component, obtains the pipe over the bus, pushes every
// input line, shuts the client components down, optionally prints the raw data, then shuts the
// logger down, destroys it and unloads the libraries.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/BusDispatcher.h"
#include "host/DefaultLogDirectory.h"
#include "host/LoggerClient.h"
#include "host/LoggerPluginFile.h"
#include "host/PluginLoader.h"
#include "host/RunningComponent.h"
#include "host/SettingsCheck.h"
#include "host/WorkerFence.h"
#include "logger/Version.h"
#include "logger/core/MainLoggerCore.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/host/IComponent.h"
#include "logger/media/MediaKeys.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "loghost/InputThrottle.h"
#include "loghost/LogHostOptions.h"
#include "loghost/Progress.h"
#include "loghost/RunStatus.h"
#include "platform/InputSource.h"
#include "platform/SharedLibrary.h"
#include "platform/StopSignals.h"
#include "platform/StreamMode.h"

namespace {

const char* const kComponentType = TarvoLoggerProtocol::kComponentType;
const char kProgram[] = "loghost";
// Where an installed loghost finds the plug-in, from the folder that holds loghost.
const char kInstalledPluginDir[] = LOGHOST_PLUGIN_DIR_FROM_BIN;
const auto kReplyTimeout = std::chrono::seconds(5);
const char kClientTopic[] = "client:/loghost";

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where the lines read go: the pipe, with the count, the progress display, the run's status and the
// memory bound kept up to date.
class Feed final {
 public:
  Feed(boost::shared_ptr<safe_pipe<std::string>> thePipe, unsigned long long limit,
       Progress& theProgress, RunStatus& theStatus)
      : pipe(thePipe), progress(theProgress), throttle(*thePipe, limit), status(theStatus) {}

  // Whether lines are split into records (the ring and the files do; UDP sends them whole).
  void countShapes() { shapesCounted = true; }

  void push(const std::string& line) {
    if (line.size() <= MainLoggerCore::kShortLine && !shortTold) {
      std::fprintf(stderr,
                   "loghost: warning: a line of %zu bytes was read: the logger drops every line of "
                   "%zu bytes or fewer (the count comes at the end)\n",
                   line.size(), MainLoggerCore::kShortLine);
      shortTold = true;
    }
    if (shapesCounted && line.size() > MainLoggerCore::kShortLine) {
      const auto tabs = std::count(line.begin(), line.end(), '\x0b');
      if (tabs == 0) ++plainLines;
      if (tabs > 5) ++wideLines;
      if (tabs == 0 || tabs > 5) status.setShapes(plainLines, wideLines);
    }
    pipe->push(line);
    ++pushedCount;
    progress.tick(pushedCount);
    throttle.pushed(line.size(), progress, pushedCount);
    if ((pushedCount & 1023) == 0) throttle.update();  // keeps the figure fresh for the metrics
    status.setRead(pushedCount, throttle.waiting());
  }
  unsigned long long pushed() const { return pushedCount; }
  // Lines stored that have no vertical tab (the whole line lands in the time field), and lines
  // with more than six fields (the seventh and later are not stored).
  unsigned long long plain() const { return plainLines; }
  unsigned long long wide() const { return wideLines; }

 private:
  const boost::shared_ptr<safe_pipe<std::string>> pipe;
  Progress& progress;
  InputThrottle throttle;
  RunStatus& status;
  unsigned long long pushedCount = 0;
  bool shapesCounted = false;
  bool shortTold = false;
  unsigned long long plainLines = 0;
  unsigned long long wideLines = 0;
};

// The plug-in beside loghost (a build tree), else where the installation puts it.
std::string defaultPluginPath() {
  return LoggerPluginFile::find(SharedLibrary::executableFolder(), kInstalledPluginDir,
                                "give one with --plugin PATH");
}

// Where no Directories/VarPath is configured and the logger is to write files, a directory a
// normal user can write without set-up (DefaultLogDirectory).
void giveDefaultLogDirectory() {
  const std::string warning = DefaultLogDirectory::give(
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope),
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope));
  if (!warning.empty()) std::fprintf(stderr, "%s: warning: %s\n", kProgram, warning.c_str());
}

void configure(const LogHostOptions& options) {
  ConfigurationManager& host =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope);
  ConfigurationManager& plugin =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  for (const auto& file : options.hostConfigFiles) host.loadFile(file);
  for (const auto& file : options.pluginConfigFiles) plugin.loadFile(file);
  for (const auto& kv : options.hostValues) host.setValue(kv.first, kv.second);
  for (const auto& kv : options.pluginValues) plugin.setValue(kv.first, kv.second);
  giveDefaultLogDirectory();
}

// The medium the logger will use, as it chooses it: "udp", "file", "console", or the ring for
// anything else.
std::string storageFormat() {
  std::string format;
  ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope)
      ->peekValue(MediaKeys::kStorageFormat, format);
  return format == MediaKeys::kFormatUdp || format == MediaKeys::kFormatFile ||
                 format == MediaKeys::kFormatConsole
             ? format
             : MediaKeys::kFormatCircular;
}

// Says once where the lines go when that may surprise: only into memory, or into files where.
void announceMedium(const LogHostOptions& options) {
  const std::string format = storageFormat();
  if (format == MediaKeys::kFormatCircular && !options.dump) {
    std::fprintf(stderr,
                 "loghost: warning: the lines are kept only in memory (the ring) and discarded at "
                 "exit; add --dump to print them, or -P %s=%s to keep them in files\n",
                 MediaKeys::kStorageFormat, MediaKeys::kFormatFile);
  } else if (format == MediaKeys::kFormatFile) {
    std::string directory = MediaKeys::kDefaultVarPath;
    ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope)
        ->peekValue(MediaKeys::kVarPath, directory);
    std::fprintf(stderr, "loghost: writing the log files in %s\n", directory.c_str());
  }
}

// Says once, at the end, how many lines will not read back as the fields they were meant to be.
void reportShapes(const Feed& feed) {
  if (feed.plain() > 0) {
    std::fprintf(stderr,
                 "loghost: warning: %llu line%s had no vertical tab and went whole into the time "
                 "field (-s C turns a separator C into one)\n",
                 feed.plain(), feed.plain() == 1 ? "" : "s");
  }
  if (feed.wide() > 0) {
    std::fprintf(stderr,
                 "loghost: warning: %llu line%s had more than six fields; the fields after the "
                 "sixth were not stored\n",
                 feed.wide(), feed.wide() == 1 ? "" : "s");
  }
}

// Reads one input and pushes every line; a last line without "\n" counts too. A stopping signal
// ends the reading: every line read so far is pushed, the last one even without its "\n".
void pushInput(std::FILE* in, const std::string& name, const LogHostOptions& options, Feed& feed) {
  std::string buffer(1 << 20, '\0');
  std::string line;
  bool pending = false;
  auto emit = [&] {
    if (options.hasSeparator) {
      for (char& c : line) {
        if (c == options.separator) c = '\x0b';
      }
    }
    feed.push(line);
    line.clear();
    pending = false;
  };
  // Chunks as they come, not fread(): lines from a pipe or a terminal go on as soon as they
  // arrive. A stopping signal ends the input like its end.
  InputSource source(in);
  for (;;) {
    std::string error;
    const std::ptrdiff_t got = source.read(&buffer[0], buffer.size(), error);
    if (got < 0) throw Failure("cannot read input " + name + ": " + error);
    if (got == 0) break;
    const std::size_t n = static_cast<std::size_t>(got);
    const char* p = buffer.data();
    const char* end = p + n;
    while (p < end) {
      const char* newline = static_cast<const char*>(std::memchr(p, '\n', end - p));
      line.append(p, newline ? newline : end);
      pending = true;
      if (!newline) break;
      // Text files end their lines in CR LF where that is the platform's convention.
      if (InputSource::kCrLfText && !line.empty() && line.back() == '\r') line.pop_back();
      emit();
      p = newline + 1;
    }
  }
  if (pending) emit();
}

// Opens an input. Opening a FIFO waits for its writer, and a signal meanwhile (a status request)
// interrupts the wait: it goes on, unless the signal stops the run (null, errno EINTR, then).
std::FILE* openInput(const std::string& name) {
  for (;;) {
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (file || errno != EINTR || StopSignals::received() != 0) return file;
  }
}

// Feeds the inputs in order, each opened when its turn comes (as cat does: any number of files,
// whatever the limit on open descriptors). An input that cannot be opened is reported and the
// others are still read, as after one that fails to be read; the result is false then.
bool feedInputs(const LogHostOptions& options, Feed& feed) {
  if (options.noInput) {
    // A long-lived host: its components log on their own until it is told to stop.
    while (StopSignals::received() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return true;
  }
  std::vector<std::string> names = options.inputs;
  if (names.empty()) names.push_back("-");
  bool allOpened = true;
  for (const std::string& name : names) {
    if (StopSignals::received() != 0) break;
    if (name == "-") {
      pushInput(stdin, name, options, feed);
      continue;
    }
    std::FILE* file = openInput(name);
    if (!file) {
      if (errno == EINTR) break;  // stopped while waiting for a FIFO's writer
      std::fprintf(stderr, "loghost: cannot open input %s: %s\n", name.c_str(),
                   std::strerror(errno));
      allOpened = false;
      continue;
    }
    struct Closer {
      std::FILE* file;
      ~Closer() { std::fclose(file); }
    } closer{file};
    try {
      pushInput(file, name, options, feed);
    } catch (const Failure& e) {
      // A file that cannot be read (a folder, an I/O error): its lines read so far are pushed,
      // the next input still comes.
      std::fprintf(stderr, "loghost: %s\n", e.what());
      allOpened = false;
    }
  }
  return allOpened;
}

// Returns once the worker has handled every line pushed before the call. The status leaves the
// fence's own short lines out of the short lines it counts.
void waitForWorker(safe_pipe<std::string>& pipe, Progress& progress, RunStatus& status,
                   unsigned long long pushed) {
  for (unsigned line = 0; line < WorkerFence::kLines; ++line) status.pushingOwnShortLine();
  WorkerFence::wait(pipe, [&](std::size_t queued) { progress.draining(pushed, queued); });
}

// Loads a library and names what went wrong as loghost reports it.
std::vector<std::string> loadLibrary(PluginLoader& loader, const std::string& path) {
  try {
    return loader.load(path);
  } catch (const PluginError& e) {
    throw Failure(e.what());
  }
}

// Client components: loaded beside the logger, started after it, shut down before it.
std::vector<std::unique_ptr<RunningComponent>> startClients(PluginLoader& loader,
                                                            const LogHostOptions& options) {
  std::vector<std::unique_ptr<RunningComponent>> clients;
  for (const auto& path : options.components) {
    const std::vector<std::string> types = loadLibrary(loader, path);
    if (types.empty()) throw Failure("component library " + path + " registered no component");
    for (const auto& type : types) {
      clients.emplace_back(new RunningComponent(loader, loader.create(type), kProgram));
      clients.back()->start();
    }
  }
  return clients;
}

// Shuts the clients down, newest first, and unloads their libraries. False when one failed.
bool stopClients(PluginLoader& loader, const LogHostOptions& options,
                 std::vector<std::unique_ptr<RunningComponent>>& clients) {
  // What the clients asked for on the bus reaches them before they are told to stop.
  BusDispatcher::processInstance().drain();
  bool fine = true;
  for (auto it = clients.rbegin(); it != clients.rend(); ++it) fine = (*it)->destroy() && fine;
  clients.clear();
  for (const auto& path : options.components) loader.unload(path);
  return fine;
}

// Prints the raw data; false when it could not be had or written.
bool dumpRawData(LoggerClient& client) {
  std::string data;
  if (!client.requestRawData(kReplyTimeout, data)) {
    std::fprintf(stderr, "loghost: no %s reply from %s within %lld seconds\n",
                 TarvoLoggerProtocol::kRawData, TarvoLoggerProtocol::kTopic,
                 static_cast<long long>(kReplyTimeout.count()));
    return false;
  }
  // The files' and UDP's descriptions have no line end of their own.
  if (!data.empty() && data.back() != '\n') data += '\n';
  // A dump larger than the stream's buffer is written past it: its failure shows only here.
  const bool whole = std::fwrite(data.data(), 1, data.size(), stdout) == data.size();
  const int writeError = errno;
  if (!whole || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "loghost: cannot write the dump to standard output: %s\n",
                 std::strerror(whole ? errno : writeError));
    return false;
  }
  return true;
}

// After the logger's shutdown, with its final counts (null: it does not count). False, with one
// summary line, when it lost lines.
bool reportLosses(const TarvoLoggerStatsData* counted) {
  if (!counted || counted->lost == 0) return true;
  std::fprintf(stderr, "%s: %s\n", kProgram, LoggerClient::lossText(*counted).c_str());
  return false;
}

// Says at the end how many lines of the inputs and the components were dropped as short.
void reportShortLines(unsigned long long count) {
  if (count == 0) return;
  std::fprintf(stderr, "loghost: %llu line%s of %zu bytes or fewer dropped by the logger\n", count,
               count == 1 ? "" : "s", MainLoggerCore::kShortLine);
}

// The settings the logger and the components did not take, now that they have read theirs: each
// one an error, or a warning with --lenient. True when the run may go on.
bool settingsAllowRun(const LogHostOptions& options) {
  const std::vector<std::string> mistakes =
      SettingsCheck(*ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope),
                    *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope))
          .warnings();
  const char* const kind = options.lenient ? "warning" : "error";
  for (const auto& line : mistakes) std::fprintf(stderr, "loghost: %s: %s\n", kind, line.c_str());
  const std::size_t n = mistakes.size();
  const char* const plural = n == 1 ? "" : "s";
  if (n == 0) {
    if (options.check) std::fprintf(stderr, "loghost: the settings have no mistake\n");
    return true;
  }
  if (options.lenient) {
    if (options.check) {
      std::fprintf(stderr, "loghost: %zu settings mistake%s, allowed by --lenient\n", n, plural);
    }
    return true;
  }
  std::fprintf(stderr,
               "loghost: %zu settings mistake%s%s (fix the settings, or give --lenient to run with "
               "them as warnings)\n",
               n, plural, options.check ? "" : ": stopped before reading any input");
  return false;
}

// The logger's pipe, asked for over the bus as any client does.
boost::shared_ptr<safe_pipe<std::string>> requestPipe(LoggerClient& client) {
  boost::shared_ptr<safe_pipe<std::string>> pipe = client.requestQueue(kReplyTimeout);
  if (!pipe) {
    throw Failure(std::string("no ") + TarvoLoggerProtocol::kLoggerQueue + " reply from " +
                  TarvoLoggerProtocol::kTopic + " within " + std::to_string(kReplyTimeout.count()) +
                  " seconds");
  }
  return pipe;
}

// The run itself: pushes the inputs, waits for the worker, stops the clients, dumps, stops the
// logger and reports its final counts. False when anything failed or a line was lost.
bool runInputs(const LogHostOptions& options, PluginLoader& loader,
               std::vector<std::unique_ptr<RunningComponent>>& clients, RunningComponent& logger,
               LoggerClient& client, const boost::shared_ptr<safe_pipe<std::string>>& pipe) {
  // Answers SIGUSR1, and writes the metrics, from here to the logger's final counts.
  RunStatus status(pipe, options.metricsFile, options.metricsInterval);
  announceMedium(options);
  Progress progress;
  Feed feed(pipe, options.queueLimit, progress, status);
  if (storageFormat() != MediaKeys::kFormatUdp) feed.countShapes();
  bool fine = true;
  try {
    fine = feedInputs(options, feed);
  } catch (const std::exception& e) {
    // What was read is stored all the same: the logger still shuts down in order below.
    std::fprintf(stderr, "loghost: %s\n", e.what());
    fine = false;
  }
  waitForWorker(*pipe, progress, status, feed.pushed());
  progress.done(feed.pushed());
  status.setRead(feed.pushed(), 0);
  reportShapes(feed);

  fine = stopClients(loader, options, clients) && fine;
  if (options.dump) {
    waitForWorker(*pipe, progress, status, feed.pushed());  // the clients' lines too
    fine = dumpRawData(client) && fine;
  }
  fine = logger.stop() && fine;
  TarvoLoggerStatsData stats;
  const bool counted = client.requestStats(kReplyTimeout, stats);
  if (counted) reportShortLines(status.shortLines(stats));
  fine = reportLosses(counted ? &stats : nullptr) && fine;
  return status.finish(counted ? &stats : nullptr) && fine;
}

int runHost(const LogHostOptions& options) {
  configure(options);
  const std::string pluginPath = options.plugin.empty() ? defaultPluginPath() : options.plugin;
  PluginLoader loader;
  loadLibrary(loader, pluginPath);
  if (!loader.hasType(kComponentType)) {
    throw Failure("plug-in " + pluginPath + " registered no " + kComponentType + " component");
  }
  RunningComponent logger(loader, loader.create(kComponentType), kProgram);
  logger.start();
  std::vector<std::unique_ptr<RunningComponent>> clients = startClients(loader, options);

  LoggerClient client(kClientTopic);
  boost::shared_ptr<safe_pipe<std::string>> pipe = requestPipe(client);
  const bool settingsFine = settingsAllowRun(options);
  bool fine = true;
  if (settingsFine && !options.check) {
    fine = runInputs(options, loader, clients, logger, client, pipe);
  } else {
    // Started only to learn what they read: stopped at once, with nothing pushed.
    fine = stopClients(loader, options, clients);
    fine = logger.stop() && fine;
  }
  pipe.reset();  // the pipe goes before the library that made it
  fine = logger.destroy() && fine;
  loader.unload(pluginPath);
  // A loss or a failure says 1 whatever ended the run, a settings mistake 2. Interrupted without
  // either: every line read was stored all the same, and the status says how the run ended.
  if (!fine) return 1;
  if (!settingsFine) return 2;
  return StopSignals::received() != 0 ? 128 + StopSignals::received() : 0;
}

}  // namespace

int main(int argc, char** argv) {
  StreamMode::holdClosedStreams();
  // The dump's records end in "\r\n" of their own; what is written is passed on as it is.
  StreamMode::makeBinary(stdout);
  StreamMode::makeBinary(stderr);
  LogHostOptions options;
  try {
    options = LogHostOptions::parse(argc, argv);
  } catch (const LogHostOptions::UsageError& e) {
    std::fprintf(stderr, "loghost: %s; try loghost --help\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(LogHostOptions::usage(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("loghost %s\n", TARVO_LOGGER_VERSION);
    return 0;
  }
  try {
    StopSignals::install();
    return runHost(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "loghost: %s\n", e.what());
    return 1;
  }
}
