// The record's direct split and line form against the plain stream-based reference, on any bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <string>

#include "logger/media/LogRecord.h"

namespace {
std::string reference(const std::string& line) {
  std::stringstream stream(line);
  std::string f[6];
  for (auto& field : f) std::getline(stream, field, '\x0b');
  std::ostringstream out;
  out << std::setw(22) << f[0] << std::setw(12) << f[1] << std::setw(10) << f[2] << std::setw(18)
      << f[3] << " " << f[4] << " -> " << f[5];
  return out.str();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  LogRecord record(line);
  std::string form;
  record.appendLineForm(form);
  if (form != reference(line) || form.size() != record.lineFormSize()) std::abort();
  std::ostringstream streamed;
  streamed << record;
  if (streamed.str() != form) std::abort();
  return 0;
}
