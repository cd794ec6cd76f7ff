// Key/value configuration, one instance per scope. Keys are slash-separated ("TarvoLogger/Port" is
// key Port of section [TarvoLogger]). Plug-ins read values in their constructors; the host fills
// the instances from INI files and overrides before it starts components. All operations are
// thread-safe.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "logger/core/ThreadAnnotations.h"
#include "logger/host/HostApi.h"

class HOST_API ConfigurationManager {
 public:
  enum Scope { HostScope = 0, PluginScope = 1 };

  // The instance for a scope; it lives until the process ends and is never released by callers.
  static ConfigurationManager* getDefaultInstance(const Scope& scope);

  ConfigurationManager() = default;
  ConfigurationManager(const ConfigurationManager&) = delete;
  ConfigurationManager& operator=(const ConfigurationManager&) = delete;
  virtual ~ConfigurationManager();

  // 0 when the key is present: value then holds its text (possibly empty). Non-zero when the key
  // is absent: value is left untouched.
  virtual int getValue(const std::string& key, std::string& value) EXCLUDES(mutex);

  // Host side. loadFile merges every key of an INI file (later values win) and throws
  // std::runtime_error naming the file, and the line where it does not parse.
  void loadFile(const std::string& path) EXCLUDES(mutex);
  void setValue(const std::string& key, const std::string& value) EXCLUDES(mutex);
  void removeValue(const std::string& key) EXCLUDES(mutex);
  // Forgets the values and the keys asked for.
  void clear() EXCLUDES(mutex);

  // The instance remembers every key asked for, present or not, so that a host can name the
  // settings nothing read (a typo, a key in the wrong scope) once its components have started.
  // Host side: like getValue, without counting as asked; the keys present now that nobody has
  // asked for; and every key asked for so far (present or not). Lists are sorted.
  int peekValue(const std::string& key, std::string& value) EXCLUDES(mutex);
  std::vector<std::string> unreadKeys() EXCLUDES(mutex);
  std::vector<std::string> askedKeys() EXCLUDES(mutex);

 private:
  // Guarded by mutex
  Mutex mutex;
  std::map<std::string, std::string> values GUARDED_BY(mutex);
  std::set<std::string> asked GUARDED_BY(mutex);
};
