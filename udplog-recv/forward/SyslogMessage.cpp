#include "udplog-recv/forward/SyslogMessage.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

constexpr int kSeverityNotice = 5;
constexpr int kFacilityUser = 1;

// The syslog severity of each level that clients write (TarvoLog's and the usual others); any
// other level, or a line without one, is a notice.
struct LevelSeverity {
  std::string_view level;
  int severity;
};
constexpr LevelSeverity kLevelSeverities[] = {{"CRITICAL", 2}, {"FATAL", 2},   {"ERROR", 3},
                                              {"WARN", 4},     {"WARNING", 4}, {"INFO", 6},
                                              {"DEBUG", 7},    {"TRACE", 7}};

// The severity for the line's third vertical-tab field, the level.
int severityOf(std::string_view line) {
  std::size_t start = line.find('\v');
  if (start == std::string_view::npos) return kSeverityNotice;
  start = line.find('\v', start + 1);
  if (start == std::string_view::npos) return kSeverityNotice;
  const std::size_t end = line.find('\v', start + 1);
  const std::string_view level = line.substr(
      start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1);
  for (const LevelSeverity& known : kLevelSeverities) {
    if (level == known.level) return known.severity;
  }
  return kSeverityNotice;
}

// The message's header, "<14>1 2026-12-07T10:00:26.415123Z 127.0.0.1 udplog 40000 - - ", into
// header; its length.
std::size_t headerOf(char (&header)[160], const std::string& host, unsigned port,
                     std::string_view line, std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const int headerSize = std::snprintf(
      header, sizeof(header), "<%d>1 %04d-%02d-%02dT%02d:%02d:%02d.%06dZ %s %s %u - - ",
      kFacilityUser * 8 + severityOf(line), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
      utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros % 1000000), host.c_str(),
      SyslogMessage::kAppName, port);
  return std::min(static_cast<std::size_t>(std::max(headerSize, 0)), sizeof(header) - 1);
}

}  // namespace

std::string SyslogMessage::message(const std::string& host, unsigned port, std::string_view line,
                                   std::chrono::system_clock::time_point when) {
  char header[160];
  const std::size_t headerSize = headerOf(header, host, port, line, when);
  std::string out;
  out.reserve(headerSize + line.size());
  out.append(header, headerSize);
  out.append(line.data(), line.size());
  return out;
}

std::string SyslogMessage::frame(const std::string& host, unsigned port, std::string_view line,
                                 std::chrono::system_clock::time_point when) {
  char header[160];
  const std::size_t headerSize = headerOf(header, host, port, line, when);
  const std::size_t messageSize = headerSize + line.size();
  std::string out = std::to_string(messageSize);
  out.reserve(out.size() + 1 + messageSize);
  out += ' ';
  out.append(header, headerSize);
  out.append(line.data(), line.size());
  return out;
}

std::string SyslogMessage::tooLong(const std::string& target, std::size_t maxBytes) {
  return "forward: a line whose message is over --max-line-bytes " + std::to_string(maxBytes) +
         " was refused, not sent to " + target + " (counted as refused)";
}
