#include "logger/core/WorkerErrorReporter.h"

namespace {

ReportLimiter::Limits limits() {
  ReportLimiter::Limits limits;
  limits.burst = 1;
  limits.powersOfTen = true;
  return limits;
}

}  // namespace

WorkerErrorReporter::WorkerErrorReporter(std::FILE* theOut, ReportLimiter::Now now)
    : out(theOut),
      limiter([this](const ReportLimiter::Line& line) { print(line); }, limits(), now) {}

void WorkerErrorReporter::report(const char* operation, const std::string& error) {
  limiter.report(std::string(operation) + " failed: " + error);
}

void WorkerErrorReporter::finish() { limiter.flush(); }

void WorkerErrorReporter::print(const ReportLimiter::Line& line) {
  const int length = static_cast<int>(line.text.size());
  const auto total = static_cast<unsigned long long>(line.total);
  switch (line.cause) {
    case ReportLimiter::Cause::kInFull:
      std::fprintf(out, "%s%.*s\n", kPrefix, length, line.text.data());
      break;
    case ReportLimiter::Cause::kInterval:
    case ReportLimiter::Cause::kPowerOfTen:
      std::fprintf(out, "%s%.*s (%llu times so far)\n", kPrefix, length, line.text.data(), total);
      break;
    case ReportLimiter::Cause::kNewKind:
    case ReportLimiter::Cause::kFlush:
      std::fprintf(out, "%s%.*s (repeated %llu times in all)\n", kPrefix, length, line.text.data(),
                   total);
      break;
  }
  std::fflush(out);
}
