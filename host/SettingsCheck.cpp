#include "host/SettingsCheck.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <utility>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <boost/filesystem.hpp>

#include "logger/host/ConfigurationManager.h"
#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"
#include "platform/ShownValue.h"

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string lastSegment(const std::string& key) { return key.substr(key.rfind('/') + 1); }

// Edit distance, stopping early: only "at most two edits" matters.
std::size_t distance(const std::string& a, const std::string& b) {
  if (a.size() > b.size() + 2 || b.size() > a.size() + 2) return 3;
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A typo of candidate: letter case, up to two edits, or the key without its section.
bool nearMiss(const std::string& key, const std::string& candidate) {
  const std::string k = lower(key), c = lower(candidate);
  return k == c || (k.size() > 4 && distance(k, c) <= 2) ||
         lower(lastSegment(key)) == lower(lastSegment(candidate));
}

// A key or a value as a warning line shows it: "abcdef"... (10485760 bytes).
std::string shown(const std::string& setting, bool quote) {
  return shownValue(setting, quote ? '"' : '\0');
}

std::string quoted(const std::string& value) { return shown(value, true); }

// Said after a refused value that holds an INI comment character: "file ; keep on disk" in a file
// reaches the logger whole.
std::string commentHint(const std::string& value) {
  if (value.find_first_of(";#") == std::string::npos) return "";
  return " (an INI comment after a value is read as part of the value: put the comment on a line "
         "of its own)";
}

// Which medium reads a logger key that only some media read.
const char* readOnlyBy(const std::string& key) {
  if (key == MediaKeys::kMaxFileSize || key == MediaKeys::kFlushSeconds ||
      key == MediaKeys::kVarPath) {
    return "the file medium";
  }
  if (key == MediaKeys::kIp || key == MediaKeys::kPort) return "the udp medium";
  if (key == MediaKeys::kBufferSize) return "the ring and the file medium";
  return nullptr;
}

// A number from least to the type's largest; instead says what the logger does with any other.
template <typename T>
void checkNumber(ConfigurationManager& scope, const char* key, T least, const std::string& instead,
                 std::vector<std::string>& out) {
  std::string text;
  T value;
  if (scope.peekValue(key, text) != 0 || (ConfigNumber::parse(text, value) && value >= least)) {
    return;
  }
  out.push_back(std::string(key) + "=" + quoted(text) + " is not a whole number from " +
                std::to_string(least) + " to " + std::to_string(std::numeric_limits<T>::max()) +
                ": " + instead + commentHint(text));
}

template <typename T>
void checkNumber(ConfigurationManager& scope, const char* key, T fallback,
                 std::vector<std::string>& out) {
  checkNumber<T>(scope, key, 0, std::to_string(fallback) + " is used instead", out);
}

}  // namespace

SettingsCheck::SettingsCheck(ConfigurationManager& theHost, ConfigurationManager& thePlugin)
    : SettingsCheck(theHost, thePlugin, Givers()) {}

SettingsCheck::SettingsCheck(ConfigurationManager& theHost, ConfigurationManager& thePlugin,
                             Givers theGivers)
    : host(theHost), plugin(thePlugin), givers(std::move(theGivers)) {}

std::vector<std::string> SettingsCheck::warnings() const {
  std::vector<std::string> out;
  checkUnread(host, plugin, "host", "plug-in", givers.plugin.c_str(), out);
  checkUnread(plugin, host, "plug-in", "host", givers.host.c_str(), out);
  checkValues(out);
  return out;
}

void SettingsCheck::report(std::FILE* out, const char* prefix) const {
  for (const auto& line : warnings()) std::fprintf(out, "%s%s\n", prefix, line.c_str());
}

void SettingsCheck::checkUnread(ConfigurationManager& scope, ConfigurationManager& other,
                                const char* scopeName, const char* otherName,
                                const char* otherOption, std::vector<std::string>& out) const {
  const std::vector<std::string> askedHere = scope.askedKeys();
  const std::vector<std::string> askedThere = other.askedKeys();
  std::string format;
  if (plugin.peekValue(MediaKeys::kStorageFormat, format) != 0) format = "circular";
  for (const auto& key : scope.unreadKeys()) {
    std::string value;
    scope.peekValue(key, value);
    std::string line =
        std::string(scopeName) + " key " + shown(key, false) + "=" + quoted(value) + " is not read";
    if (std::find(askedThere.begin(), askedThere.end(), key) != askedThere.end()) {
      out.push_back(line + ": it is a " + otherName + " key, give it with " + otherOption);
      continue;
    }
    auto here = std::find_if(askedHere.begin(), askedHere.end(),
                             [&](const std::string& asked) { return nearMiss(key, asked); });
    auto there = std::find_if(askedThere.begin(), askedThere.end(),
                              [&](const std::string& asked) { return nearMiss(key, asked); });
    if (here != askedHere.end()) {
      line += " by anything (did you mean " + *here + "?)";
    } else if (there != askedThere.end()) {
      line += " by anything (did you mean the " + std::string(otherName) + " key " + *there +
              ", given with " + otherOption + "?)";
    } else if (const char* reader = readOnlyBy(key)) {
      line += ": only " + std::string(reader) + " reads it, and StorageFormat is " + quoted(format);
    } else {
      line += " by anything: it has no effect";
    }
    out.push_back(line);
  }
}

namespace {

bool writable(const boost::filesystem::path& folder) {
#if defined(_WIN32)
  return ::_waccess(folder.c_str(), 2) == 0;
#else
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

// Why the file medium could not write into folder, which it makes at its first write if need be
// (the last level only); "" when it can. Looks without creating anything.
std::string whyNoLogFolder(const std::string& folder) {
  namespace fs = boost::filesystem;
  boost::system::error_code error;
  if (folder.empty()) return "is empty";
  std::string trimmed = folder;  // "/var/log/app/" is the folder /var/log/app
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\')) {
    trimmed.pop_back();
  }
  const fs::path path(trimmed);
  if (fs::is_symlink(fs::symlink_status(path, error)) && !fs::exists(path, error)) {
    return "is a link to nothing";
  }
  if (fs::exists(path, error)) {
    if (!fs::is_directory(path, error)) return "is not a folder";
    return writable(path) ? "" : "is a folder the logger may not write into";
  }
  fs::path parent = path.parent_path();
  if (parent.empty()) parent = ".";
  if (!fs::is_directory(parent, error)) {
    return "does not exist, nor does its parent " + quoted(parent.string()) +
           " (the file medium makes only the last level)";
  }
  if (!writable(parent)) {
    return "does not exist and cannot be made: its parent " + quoted(parent.string()) +
           " may not be written into";
  }
  return "";
}

}  // namespace

void SettingsCheck::checkLogFolder(std::vector<std::string>& out) const {
  std::string folder;
  if (host.peekValue(MediaKeys::kVarPath, folder) != 0) folder = MediaKeys::kDefaultVarPath;
  const std::string why = whyNoLogFolder(folder);
  if (!why.empty()) {
    out.push_back(std::string(MediaKeys::kVarPath) + "=" + quoted(folder) + " " + why +
                  ": the log files cannot be written");
  }
}

void SettingsCheck::checkValues(std::vector<std::string>& out) const {
  std::string format;
  if (plugin.peekValue(MediaKeys::kStorageFormat, format) == 0 && format != MediaKeys::kFormatUdp &&
      format != MediaKeys::kFormatFile && format != MediaKeys::kFormatCircular &&
      format != MediaKeys::kFormatConsole) {
    out.push_back(std::string(MediaKeys::kStorageFormat) + "=" + quoted(format) + " is none of " +
                  MediaKeys::kFormatUdp + ", " + MediaKeys::kFormatFile + ", " +
                  MediaKeys::kFormatCircular + ", " + MediaKeys::kFormatConsole +
                  ": the in-memory ring is used instead" + commentHint(format));
  }
  // The numbers the medium in use reads, with its types and defaults; the console reads none.
  if (format == MediaKeys::kFormatConsole) return;
  if (format == MediaKeys::kFormatFile) {
    checkNumber<uint32_t>(plugin, MediaKeys::kBufferSize, MediaKeys::kDefaultBufferSize, out);
    checkNumber<uint32_t>(plugin, MediaKeys::kMaxFileSize, MediaKeys::kDefaultMaxFileSize, out);
    checkNumber<uint32_t>(plugin, MediaKeys::kFlushSeconds, 1,
                          "records wait for a full batch instead", out);
    checkLogFolder(out);
  } else if (format == MediaKeys::kFormatUdp) {
    checkNumber<uint16_t>(plugin, MediaKeys::kPort, MediaKeys::kDefaultPort, out);
  } else {
    checkNumber<uint16_t>(plugin, MediaKeys::kBufferSize, MediaKeys::kDefaultRingCapacity, out);
  }
}
