// Names the settings that will not do what the user meant, once the logger and the client
// components have started and so have asked for every key they read: one warning line each,
// nothing when all is well. Reads the two configuration scopes; main thread only.
// It lives in the host library so that every host of the logger (loghost, a program's own) checks
// alike.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "logger/host/HostApi.h"

class ConfigurationManager;

class HOST_API SettingsCheck final {
 public:
  // How the user gives a key of each scope, for the hint after a key given in the wrong one.
  struct Givers {
    std::string host = "-H or --host-config";
    std::string plugin = "-P or --plugin-config";
  };

  // loghost's: keys given with its options.
  SettingsCheck(ConfigurationManager& host, ConfigurationManager& plugin);
  SettingsCheck(ConfigurationManager& host, ConfigurationManager& plugin, Givers givers);

  // The warnings, one line each without the line end. Keys and values show control bytes as \xNN,
  // and one longer than 100 bytes is cut there with its length told. As report() prints them:
  //   loghost: warning: plug-in key TarvoLogger/StorageFomat="file" is not read by anything (did
  //            you mean TarvoLogger/StorageFormat?)
  //   loghost: warning: host key TarvoLogger/StorageFormat="file" is not read: it is a plug-in key,
  //            give it with -P or --plugin-config
  //   loghost: warning: TarvoLogger/StorageFormat="File" is none of udp, file, circular,
  //            console: the in-memory ring is used instead
  //   loghost: warning: TarvoLogger/Port="70000" is not a whole number from 0 to 65535: 4444 is
  //            used instead
  //   loghost: warning: Directories/VarPath="/srv/none/logs" does not exist, nor does its parent
  //            "/srv/none" (the file medium makes only the last level): the log files cannot be
  //            written
  std::vector<std::string> warnings() const;
  // A refused StorageFormat or number that holds ";" or "#" is told that an INI comment after a
  // value is read as part of it.
  //
  // Writes the warnings to out, each after prefix.
  void report(std::FILE* out, const char* prefix = "loghost: warning: ") const;

 private:
  void checkUnread(ConfigurationManager& scope, ConfigurationManager& other, const char* scopeName,
                   const char* otherName, const char* otherOption,
                   std::vector<std::string>& out) const;
  void checkValues(std::vector<std::string>& out) const;
  // The file medium's folder: it must exist and be writable, or its parent must.
  void checkLogFolder(std::vector<std::string>& out) const;

  // Constant after construction
  ConfigurationManager& host;
  ConfigurationManager& plugin;
  const Givers givers;
};
