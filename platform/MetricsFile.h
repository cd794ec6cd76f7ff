// A metrics file in the Prometheus text format, for node_exporter's textfile collector, e.g.
//   # TYPE loghost_lines_read_total counter
//   loghost_lines_read_total 1048576
// Each write() replaces the whole file at once, so a reader sees the old file or the new one,
// whole, whatever other writers of the same path do. Used from one thread at a time. Failures are
// std::error_code values, as throughout platform/.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

class MetricsFile final {
 public:
  explicit MetricsFile(std::string path) : filePath(std::move(path)) {}
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // Adds one metric to the next write(); name ends in _total for a counter.
  void counter(const char* name, const char* help, std::uint64_t value);
  void gauge(const char* name, const char* help, std::uint64_t value);
  // Replaces the file with the metrics added since the last write. They are written to a file of
  // this write's own, created beside the path under a new name (never an existing file or a link
  // planted there, never one another process writes), with the mode a new file gets (0666 less
  // the umask), then renamed over the path.
  std::error_code write();
  const std::string& path() const { return filePath; }

  // "cannot write the metrics file /run/x/x.prom: Permission denied (...)" for a failed write;
  // the last write of a run says that no write follows it.
  std::string describe(const std::error_code& error, bool last = false) const;
  // True when error, from write(), is a cause that no earlier write failed with: a periodic write
  // that keeps failing for one cause is reported once.
  bool isNewCause(const std::error_code& error);

 private:
  void add(const char* name, const char* help, const char* type, std::uint64_t value);
  // "/run/x/.x.prom.1a2b3c4d5e6f7a8b": in the path's folder, hidden, and not ending in .prom, the
  // only names the textfile collector reads.
  std::string temporaryName() const;
  // Creates name, which must not exist (a link there is not followed), and writes text to it;
  // on a failure after the creation the file is removed again.
  static std::error_code writeNew(const std::string& name, const std::string& text);
  // Renames from over to, replacing to.
  static std::error_code replace(const std::string& from, const std::string& to);

  // Constant after construction
  const std::string filePath;

  std::string text;
  std::vector<std::error_code> causes;  // of the failed writes so far, each once
};
