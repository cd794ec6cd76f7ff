#include "logger/host/ConfigurationManager.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {
constexpr std::size_t kMaxFileBytes = 16u << 20;
// The UTF-8 byte order mark, which Notepad and PowerShell put at the start of a file, and the
// start of UTF-16 text, which Windows PowerShell's ">" writes.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr char kUtf16LeBom[] = "\xFF\xFE";
constexpr char kUtf16BeBom[] = "\xFE\xFF";
}  // namespace

ConfigurationManager* ConfigurationManager::getDefaultInstance(const Scope& scope) {
  // Never destroyed: plug-ins may read configuration from static destructors of their own.
  static ConfigurationManager* const host = new ConfigurationManager();
  static ConfigurationManager* const plugin = new ConfigurationManager();
  return scope == HostScope ? host : plugin;
}

ConfigurationManager::~ConfigurationManager() {}

int ConfigurationManager::getValue(const std::string& key, std::string& value) {
  {
    MutexLock lock(mutex);
    asked.insert(key);
  }
  return peekValue(key, value);
}

void ConfigurationManager::loadFile(const std::string& path) {
  namespace pt = boost::property_tree;
  // Read whole, at most kMaxFileBytes, before parsing: a device such as /dev/zero given by mistake
  // is an error instead of unbounded memory, and a pipe (a shell's <(...)) still works.
  std::ifstream file(path, std::ios::binary);
  std::string text;
  char chunk[65536];
  while (file && text.size() <= kMaxFileBytes) {
    file.read(chunk, sizeof(chunk));
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
  }
  if (!file.eof()) {
    const int cause = errno;
    if (text.size() > kMaxFileBytes) {
      throw std::runtime_error("cannot read configuration file " + path + ": larger than " +
                               std::to_string(kMaxFileBytes >> 20) + " MiB");
    }
    throw std::runtime_error("cannot read configuration file " + path + ": " +
                             (cause ? std::strerror(cause) : "read error"));
  }
  // Skipped: it would be read as the start of the first line's section or key name.
  if (text.compare(0, sizeof(kUtf8Bom) - 1, kUtf8Bom) == 0) text.erase(0, sizeof(kUtf8Bom) - 1);
  if (text.compare(0, 2, kUtf16LeBom) == 0 || text.compare(0, 2, kUtf16BeBom) == 0) {
    throw std::runtime_error("cannot read configuration file " + path +
                             ": it is UTF-16 text (save it as UTF-8)");
  }
  std::istringstream in(text);
  pt::ptree tree;
  try {
    pt::read_ini(in, tree);
  } catch (const pt::ini_parser_error& e) {
    if (e.line() == 0) {
      throw std::runtime_error("cannot read configuration file " + path + ": " + e.message());
    }
    throw std::runtime_error("configuration file " + path + " line " + std::to_string(e.line()) +
                             ": " + e.message());
  }
  MutexLock lock(mutex);
  for (const auto& section : tree) {
    if (section.second.empty()) {
      // A key outside any section.
      values[section.first] = section.second.data();
      continue;
    }
    for (const auto& entry : section.second) {
      values[section.first + "/" + entry.first] = entry.second.data();
    }
  }
}

void ConfigurationManager::setValue(const std::string& key, const std::string& value) {
  MutexLock lock(mutex);
  values[key] = value;
}

void ConfigurationManager::removeValue(const std::string& key) {
  MutexLock lock(mutex);
  values.erase(key);
}

void ConfigurationManager::clear() {
  MutexLock lock(mutex);
  values.clear();
  asked.clear();
}

int ConfigurationManager::peekValue(const std::string& key, std::string& value) {
  MutexLock lock(mutex);
  auto it = values.find(key);
  if (it == values.end()) return 1;
  value = it->second;
  return 0;
}

std::vector<std::string> ConfigurationManager::unreadKeys() {
  MutexLock lock(mutex);
  std::vector<std::string> unread;
  for (const auto& kv : values) {
    if (!asked.count(kv.first)) unread.push_back(kv.first);
  }
  return unread;
}

std::vector<std::string> ConfigurationManager::askedKeys() {
  MutexLock lock(mutex);
  return std::vector<std::string>(asked.begin(), asked.end());
}
