// The log folder a host gives the logger when the logger is to write files and no
// Directories/VarPath is configured: one that a normal user can write without set-up. loghost and
// the embedded logger share it. Called from the host's controlling thread before the logger starts.
#pragma once

#include <string>

#include "logger/host/HostApi.h"

class ConfigurationManager;

class HOST_API DefaultLogDirectory final {
 public:
  DefaultLogDirectory() = delete;

  // With StorageFormat "file" in plugin and no VarPath in host, sets host's VarPath to
  // UserFolders::stateFolder("tarvo-logger"): $XDG_STATE_HOME/tarvo-logger,
  // ~/.local/state/tarvo-logger, or /tmp/tarvo-logger-<uid> without a home; on Windows
  // %LOCALAPPDATA%\tarvo-logger. Made here, with its parents; the temporary folder's is used only
  // when it is the user's alone. Returns a warning without prefix or line end when the folder could
  // not be made as meant ("...; using /tmp/tarvo-logger-1000 (set Directories/VarPath)"), else "".
  static std::string give(ConfigurationManager& host, ConfigurationManager& plugin);
};
