// loghost: a host with one client built in. It loads the logger plug-in, starts its component,
// and any client components given with --component, obtains the pipe over the bus, pushes every
// input line, shuts the client components down, optionally prints the raw data, then shuts the
// logger down, destroys it and unloads the libraries.

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "host/BusDispatcher.h"
#include "host/LoggerClient.h"
#include "host/PluginLoader.h"
#include "logger/Version.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/host/IComponent.h"
#include "logger/media/MediaKeys.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "loghost/LogHostOptions.h"
#include "loghost/Progress.h"
#include "loghost/SettingsCheck.h"
#include "platform/InputSource.h"
#include "platform/SharedLibrary.h"
#include "platform/StopSignals.h"
#include "platform/StreamMode.h"
#include "platform/UserFolders.h"

namespace {

const char* const kComponentType = TarvoLoggerProtocol::kComponentType;
// lib000udploggerplugin.so, or 000udploggerplugin.dll where libraries take no prefix.
const std::string kPluginFile =
    std::string(SharedLibrary::kPrefix) + kComponentType + SharedLibrary::kSuffix;
// Where an installed loghost finds the plug-in, from the folder that holds loghost.
const char kInstalledPluginDir[] = LOGHOST_PLUGIN_DIR_FROM_BIN;
const auto kReplyTimeout = std::chrono::seconds(5);

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The plug-in beside loghost (a build tree), else where the installation puts it.
std::string defaultPluginPath() {
  const std::string folder = SharedLibrary::executableFolder();
  const std::string beside = folder + kPluginFile;
  const std::string installed = folder + kInstalledPluginDir + "/" + kPluginFile;
  boost::system::error_code ignored;
  if (boost::filesystem::exists(beside, ignored)) return beside;
  if (boost::filesystem::exists(installed, ignored)) return installed;
  throw Failure("no logger plug-in found at " + beside + " or " + installed +
                "; give one with --plugin PATH");
}

// Where no Directories/VarPath is configured and the logger is to write files, a directory a
// normal user can write without set-up (UserFolders::stateFolder): $XDG_STATE_HOME/tarvo-logger,
// ~/.local/state/tarvo-logger, or /tmp/tarvo-logger-<uid> without a home; on Windows
// %LOCALAPPDATA%\tarvo-logger. Created here, with its parents; the temporary folder's is used only
// when it is the user's alone.
void giveDefaultLogDirectory() {
  ConfigurationManager& host =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope);
  ConfigurationManager& plugin =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  std::string value;
  if (host.peekValue(MediaKeys::kVarPath, value) == 0) return;
  if (plugin.peekValue(MediaKeys::kStorageFormat, value) != 0 || value != MediaKeys::kFormatFile) {
    return;
  }
  std::string problem;
  const std::string directory = UserFolders::makeStateFolder("tarvo-logger", problem);
  if (!problem.empty()) {
    std::fprintf(stderr, "loghost: warning: %s%s%s (set Directories/VarPath)\n", problem.c_str(),
                 directory.empty() ? "" : "; using ", directory.c_str());
  }
  if (!directory.empty()) host.setValue(MediaKeys::kVarPath, directory);
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

// Pushes every line of one input; a last line without "\n" counts too. A stopping signal ends
// the reading: every line read so far is pushed, the last one even without its "\n".
unsigned long long pushInput(std::FILE* in, const std::string& name, const LogHostOptions& options,
                             safe_pipe<std::string>& pipe, Progress& progress,
                             unsigned long long pushed) {
  std::string buffer(1 << 20, '\0');
  std::string line;
  bool pending = false;
  auto emit = [&] {
    if (options.hasSeparator) {
      for (char& c : line) {
        if (c == options.separator) c = '\x0b';
      }
    }
    pipe.push(line);
    line.clear();
    pending = false;
    progress.tick(++pushed);
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
  return pushed;
}

// Returns once the worker has handled every line pushed before the call. The worker takes the
// waiting lines in bursts and is done with a burst before it takes the next, so an empty pipe only
// says that the lines were taken. Two empty lines (dropped by the worker, being short) tell more:
// once the first is taken every earlier line is in the worker's hands, and once the second,
// pushed after that, is taken too, the worker has finished the burst that held the first.
void waitForWorker(safe_pipe<std::string>& pipe, Progress& progress, unsigned long long pushed) {
  for (int fence = 0; fence < 2; ++fence) {
    pipe.push(std::string());
    for (std::size_t queued; (queued = pipe.size()) > 0;) {
      progress.draining(pushed, queued);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

int runHost(const LogHostOptions& options) {
  configure(options);
  std::vector<std::FILE*> inputs;
  std::vector<std::string> names = options.inputs;
  if (names.empty()) names.push_back("-");
  struct Closer {
    std::vector<std::FILE*>& files;
    ~Closer() {
      for (auto* f : files) {
        if (f != stdin) std::fclose(f);
      }
    }
  } closer{inputs};
  for (const auto& name : names) {
    std::FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!f) throw Failure("cannot open input " + name + ": " + std::strerror(errno));
    inputs.push_back(f);
  }

  const std::string pluginPath = options.plugin.empty() ? defaultPluginPath() : options.plugin;
  PluginLoader loader;
  try {
    loader.load(pluginPath);
  } catch (const PluginError& e) {
    throw Failure(e.what());
  }
  if (!loader.hasType(kComponentType)) {
    throw Failure("plug-in " + pluginPath + " registered no " + kComponentType + " component");
  }
  IComponent* component = loader.create(kComponentType);
  try {
    loader.start(component);
  } catch (const std::exception& e) {
    loader.destroy(component);
    throw Failure(std::string("the logger component did not start: ") + e.what());
  }

  // Client components: loaded beside the logger, started after it, shut down before it.
  std::vector<IComponent*> clients;
  for (const auto& path : options.components) {
    std::vector<std::string> types;
    try {
      types = loader.load(path);
    } catch (const PluginError& e) {
      throw Failure(e.what());
    }
    if (types.empty()) throw Failure("component library " + path + " registered no component");
    for (const auto& type : types) {
      IComponent* client = loader.create(type);
      clients.push_back(client);
      try {
        loader.start(client);
      } catch (const std::exception& e) {
        throw Failure("component " + type + " of " + path + " did not start: " + e.what());
      }
    }
  }

  int status = 0;
  {
    LoggerClient client("client:/loghost");
    boost::shared_ptr<safe_pipe<std::string>> pipe = client.requestQueue(kReplyTimeout);
    if (!pipe) {
      loader.shutdown(component);
      loader.destroy(component);
      throw Failure("no LOGGER_QUEUE reply from target:/TarvoLogger within 5 seconds");
    }
    // Settings the logger and the components did not take, now that they have read theirs.
    SettingsCheck(*ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope),
                  *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope))
        .report(stderr);

    Progress progress;
    unsigned long long pushed = 0;
    for (std::size_t i = 0; i < inputs.size() && StopSignals::received() == 0; ++i) {
      pushed = pushInput(inputs[i], names[i], options, *pipe, progress, pushed);
    }
    waitForWorker(*pipe, progress, pushed);
    progress.done(pushed);

    // What the clients asked for on the bus reaches them before they are told to stop.
    BusDispatcher::processInstance().drain();
    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
      loader.shutdown(*it);
      loader.destroy(*it);
    }
    for (const auto& path : options.components) loader.unload(path);

    if (options.dump) {
      waitForWorker(*pipe, progress, pushed);  // the clients' lines too
      std::string data;
      if (client.requestRawData(kReplyTimeout, data)) {
        // The files' and UDP's descriptions have no line end of their own.
        if (!data.empty() && data.back() != '\n') data += '\n';
        std::fwrite(data.data(), 1, data.size(), stdout);
        if (std::fflush(stdout) != 0) {
          std::fprintf(stderr, "loghost: cannot write the dump to standard output: %s\n",
                       std::strerror(errno));
          status = 1;
        }
      } else {
        std::fprintf(stderr,
                     "loghost: no RAW_DATA reply from target:/TarvoLogger within 5 "
                     "seconds\n");
        status = 1;
      }
    }
  }  // the pipe and the replies go before the library that made them

  loader.shutdown(component);
  loader.destroy(component);
  loader.unload(pluginPath);
  // Interrupted: every line read was stored all the same; the status says how the run ended.
  if (StopSignals::received() != 0) return 128 + StopSignals::received();
  return status;
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
