#include "platform/MetricsFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

void MetricsFile::counter(const char* name, const char* help, std::uint64_t value) {
  add(name, help, "counter", value);
}

void MetricsFile::gauge(const char* name, const char* help, std::uint64_t value) {
  add(name, help, "gauge", value);
}

void MetricsFile::add(const char* name, const char* help, const char* type, std::uint64_t value) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
          name + " " + std::to_string(value) + "\n";
}

std::string MetricsFile::temporaryName() const {
  // Random per process, seeded from the system's entropy and the clock; uniqueness itself comes
  // from the exclusive creation, which a name already taken fails.
  static thread_local std::mt19937_64 numbers(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::size_t slash = filePath.find_last_of("/\\");
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  char unique[24];
  std::snprintf(unique, sizeof(unique), ".%016llx", static_cast<unsigned long long>(numbers()));
  return filePath.substr(0, base) + "." + filePath.substr(base) + unique;
}

std::error_code MetricsFile::write() {
  std::string theText;
  theText.swap(text);
  std::string temporary;
  std::error_code error = std::make_error_code(std::errc::file_exists);
  for (int attempt = 0; attempt < 16 && error == std::errc::file_exists; ++attempt) {
    temporary = temporaryName();
    error = writeNew(temporary, theText);
  }
  if (error) return error;
  error = replace(temporary, filePath);
  if (error) std::remove(temporary.c_str());
  return error;
}

std::string MetricsFile::describe(const std::error_code& error, bool last) const {
  return "cannot write the metrics file " + filePath + ": " + error.message() +
         " (its folder must exist and be writable; " +
         (last ? "this was the run's last write)" : "the next write tries again)");
}

bool MetricsFile::isNewCause(const std::error_code& error) {
  if (!error || std::find(causes.begin(), causes.end(), error) != causes.end()) return false;
  causes.push_back(error);
  return true;
}
