// Shared set-up for the test suites: a temporary directory and the process's configuration.
#pragma once

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "logger/host/ConfigurationManager.h"
#include "tests/support/ProcessStats.h"

namespace testsupport {

// A host name that never resolves and whose lookup never leaves the machine: the resolver itself
// refuses a label of more than 63 bytes before it would send a query (a name such as
// "x.invalid" would go to the system's DNS server).
inline const std::string& unresolvableName() {
  static const std::string name = std::string(64, 'n') + ".invalid";
  return name;
}

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir()
      : root(boost::filesystem::temp_directory_path() /
             boost::filesystem::unique_path("logger-test-%%%%-%%%%-%%%%")) {
    boost::filesystem::create_directories(root);
  }
  ~TempDir() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(root, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const boost::filesystem::path& path() const { return root; }
  std::string str() const { return root.string(); }
  std::string file(const std::string& name) const { return (root / name).string(); }

 private:
  boost::filesystem::path root;
};

inline ConfigurationManager& hostConfig() {
  return *ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope);
}
inline ConfigurationManager& pluginConfig() {
  return *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
}

// Empties both scopes when made and when gone, so that every test starts from no configuration.
class CleanConfig {
 public:
  CleanConfig() { clear(); }
  ~CleanConfig() { clear(); }
  static void clear() {
    hostConfig().clear();
    pluginConfig().clear();
  }
};

// Entries of a /proc folder, e.g. the process's threads ("/proc/self/task") or open files.
// (POSIX systems only; ProcessStats.h counts threads on every platform.)
inline std::size_t procEntries(const char* folder) {
  std::size_t n = 0;
  for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) ++n;
  return n;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for a condition with a generous deadline; true when it held in time.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Waits until the process waits in the kernel for the other end of a FIFO it opens, as Linux
// names that wait in /proc; true when it did in time. A kernel that hides the names ("0" for every
// wait) is given three seconds instead, far more than a start takes.
inline bool waitUntilOpeningAFifo(long pid) {
  const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
  const auto start = std::chrono::steady_clock::now();
  bool named = false;
  return waitFor([&] {
    const std::string wait = readFile(wchan);
    if (wait == "wait_for_partner") return true;
    named = named || (!wait.empty() && wait != "0");
    return !named && std::chrono::steady_clock::now() - start > std::chrono::seconds(3);
  });
}

// Prometheus's checker of metrics files: $PROMTOOL (the test command sets it), else one on the
// usual path; "" when there is none.
inline std::string promtool() {
  const char* given = std::getenv("PROMTOOL");
  if (given && *given && boost::filesystem::exists(given)) return given;
  return boost::filesystem::exists("/usr/bin/promtool") ? "/usr/bin/promtool" : "";
}

}  // namespace testsupport
