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
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
          name + " " + std::to_string(value) + "\n";
}

std::error_code MetricsFile::write() {
  std::string theText;
  theText.swap(text);
  // The collector reads only names ending in .prom: the temporary name does not.
  const std::string temporary = filePath + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) return std::error_code(errno, std::generic_category());
  const bool written = std::fwrite(theText.data(), 1, theText.size(), file) == theText.size();
  const int error = errno;
  if (std::fclose(file) != 0 || !written) {
    std::remove(temporary.c_str());
    return std::error_code(written ? errno : error, std::generic_category());
  }
  const std::error_code replaced = replace(temporary, filePath);
  if (replaced) std::remove(temporary.c_str());
  return replaced;
}
