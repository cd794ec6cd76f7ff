#include "udplog-recv/Report.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>

void report(const std::string& text) {
  const std::string line = "udplog-recv: " + text + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void printReport(const ReportLimiter::Line& line) {
  std::string text(line.text);
  if (line.cause != ReportLimiter::Cause::kInFull) {
    const auto seconds = std::chrono::round<std::chrono::seconds>(line.span).count();
    text += " (" + std::to_string(line.counted) + " more like this" +
            (seconds > 0 ? " in the last " + std::to_string(seconds) + " s" : "") + ")";
  }
  report(text);
}

void reportAboutSender(ReportLimiter& reports, const std::string& text) {
  const std::size_t name = text.find(": ");
  const std::string_view event =
      name == std::string::npos ? std::string_view(text) : std::string_view(text).substr(name + 2);
  reports.report(ReportLimiter::keyOf(event), text);
}
