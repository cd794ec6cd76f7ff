#include "logger/media/LogRecord.h"

#include <algorithm>
#include <cstring>

namespace {
// Printed widths of fields 1 to 4; fields 5 and 6 have none.
constexpr std::size_t kWidths[4] = {22, 12, 10, 18};
const char kBeforeField5[] = " ";
const char kBeforeField6[] = " -> ";
}  // namespace

void LogRecord::assign(const std::string& line) {
  const char* p = line.data();
  const char* end = p + line.size();
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const char* tab =
        p < end ? static_cast<const char*>(std::memchr(p, kSeparator, end - p)) : nullptr;
    const char* fieldEnd = tab ? tab : end;
    fields_[i].assign(p, static_cast<std::size_t>(fieldEnd - p));
    p = tab ? tab + 1 : end;
  }
}

std::size_t LogRecord::lineFormSize() const {
  std::size_t size = 0;
  for (std::size_t i = 0; i < 4; ++i) size += std::max(kWidths[i], fields_[i].size());
  return size + fields_[4].size() + fields_[5].size() + sizeof(kBeforeField5) - 1 +
         sizeof(kBeforeField6) - 1;
}

char* LogRecord::writeLineForm(char* dest) const {
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string& field = fields_[i];
    if (field.size() < kWidths[i]) {
      std::memset(dest, ' ', kWidths[i] - field.size());
      dest += kWidths[i] - field.size();
    }
    std::memcpy(dest, field.data(), field.size());
    dest += field.size();
  }
  std::memcpy(dest, kBeforeField5, sizeof(kBeforeField5) - 1);
  dest += sizeof(kBeforeField5) - 1;
  std::memcpy(dest, fields_[4].data(), fields_[4].size());
  dest += fields_[4].size();
  std::memcpy(dest, kBeforeField6, sizeof(kBeforeField6) - 1);
  dest += sizeof(kBeforeField6) - 1;
  std::memcpy(dest, fields_[5].data(), fields_[5].size());
  return dest + fields_[5].size();
}

void LogRecord::appendLineForm(std::string& out) const {
  std::size_t start = out.size();
  out.resize(start + lineFormSize());
  writeLineForm(&out[start]);
}

std::ostream& operator<<(std::ostream& out, const LogRecord& record) {
  std::string text;
  record.appendLineForm(text);
  return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
