#include "platform/MetricsFile.h"

#include <cerrno>
#include <cstdio>

void MetricsFile::counter(const char* name, const char* help, std::uint64_t value) {
  add(name, help, "counter", value);
}

void MetricsFile::gauge(const char* name, const char* help, std::uint64_t value) {
  add(name, help, "gauge", value);
}

void MetricsFile::add(const char* name, const char* help, const char* type, std::uint64_t value) {
  text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + " " + std::to_string(value) + "\n";
}

std::error_code MetricsFile::write() {
  std::string text;
  text.swap(text_);
  // The collector reads only names ending in .prom: the temporary name does not.
  const std::string temporary = path_ + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) return std::error_code(errno, std::generic_category());
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int error = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(temporary.c_str());
    return std::error_code(written ? errno : error, std::generic_category());
  }
  const std::error_code replaced = replace(temporary, path_);
  if (replaced) std::remove(temporary.c_str());
  return replaced;
}
