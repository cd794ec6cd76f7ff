// The strict configuration number reader against a digit-by-digit reference, on any text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "logger/media/ConfigNumber.h"

namespace {
// True with value when text is decimal digits, after at most one leading plus, and at most max.
bool reference(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  // One plus sign may lead; a minus sign never counts.
  const std::size_t first = !text.empty() && text[0] == '+' ? 1 : 0;
  if (first == text.size()) return false;
  for (char c : text.substr(first)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > max) return false;
  }
  return true;
}

template <typename T>
void check(const std::string& text) {
  T value = 77;
  uint64_t expected = 0;
  bool ok = ConfigNumber::parse(text, value);
  bool want = reference(text, static_cast<T>(~T{0}), expected);
  if (ok != want || (ok && value != expected) || (!ok && value != 77)) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check<uint16_t>(text);
  check<uint32_t>(text);
  return 0;
}
