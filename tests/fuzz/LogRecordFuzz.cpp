// The record's direct split and line form against the plain stream-based reference, on any bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "logger/media/LogRecord.h"
#include "tests/support/ReferenceLineForm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  LogRecord record(line);
  std::string form;
  record.appendLineForm(form);
  if (form != testsupport::referenceLineForm(line) || form.size() != record.lineFormSize())
    std::abort();
  std::ostringstream streamed;
  streamed << record;
  if (streamed.str() != form) std::abort();
  return 0;
}
