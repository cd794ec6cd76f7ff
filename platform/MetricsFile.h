// A metrics file in the Prometheus text format, for node_exporter's textfile collector, e.g.
//   # TYPE loghost_lines_read_total counter
//   loghost_lines_read_total 1048576
// Each write() replaces the whole file at once, so a reader never sees half a file. Used from one
// thread at a time. Failures are std::error_code values, as throughout platform/.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

class MetricsFile final {
 public:
  explicit MetricsFile(std::string path) : filePath(std::move(path)) {}
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // Adds one metric to the next write(); name ends in _total for a counter.
  void counter(const char* name, const char* help, std::uint64_t value);
  void gauge(const char* name, const char* help, std::uint64_t value);
  // Replaces the file with the metrics added since the last write: written beside it under a
  // temporary name, then renamed over it.
  std::error_code write();
  const std::string& path() const { return filePath; }

 private:
  void add(const char* name, const char* help, const char* type, std::uint64_t value);
  // Renames from over to, replacing to.
  static std::error_code replace(const std::string& from, const std::string& to);

  const std::string filePath;
  std::string text;
};
