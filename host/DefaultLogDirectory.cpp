#include "host/DefaultLogDirectory.h"

#include "logger/host/ConfigurationManager.h"
#include "logger/media/MediaKeys.h"
#include "platform/UserFolders.h"

std::string DefaultLogDirectory::give(ConfigurationManager& host, ConfigurationManager& plugin) {
  std::string value;
  if (host.peekValue(MediaKeys::kVarPath, value) == 0) return std::string();
  if (plugin.peekValue(MediaKeys::kStorageFormat, value) != 0 || value != MediaKeys::kFormatFile) {
    return std::string();
  }
  std::string problem;
  const std::string directory = UserFolders::makeStateFolder("tarvo-logger", problem);
  if (!directory.empty()) host.setValue(MediaKeys::kVarPath, directory);
  if (problem.empty()) return std::string();
  return problem + (directory.empty() ? "" : "; using ") + directory + " (set Directories/VarPath)";
}
