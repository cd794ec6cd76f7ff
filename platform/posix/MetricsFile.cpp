#include "platform/MetricsFile.h"

#include <cerrno>
#include <cstdio>

std::error_code MetricsFile::replace(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return std::error_code();
  return std::error_code(errno, std::generic_category());
}
