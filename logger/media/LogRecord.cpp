#include "logger/media/LogRecord.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
// Printed widths of fields 1 to 4; fields 5 and 6 have none.
constexpr std::size_t kWidths[4] = {22, 12, 10, 18};
const char kBeforeField5[] = " ";
const char kBeforeField6[] = " -> ";

constexpr char kBlanks[] = "                      ";  // the widest padding, 22
static_assert(sizeof(kBlanks) - 1 >= kWidths[0] && kWidths[0] >= kWidths[1] &&
                  kWidths[0] >= kWidths[2] && kWidths[0] >= kWidths[3],
              "blanks for every width");
static_assert(LogRecord::kMaxPadding == kWidths[0] + kWidths[1] + kWidths[2] + kWidths[3] +
                                            sizeof(kBeforeField5) - 1 + sizeof(kBeforeField6) - 1,
              "the most that the line form adds");

char* put(char* dest, std::string_view text) {
  std::memcpy(dest, text.data(), text.size());
  return dest + text.size();
}

// text right-aligned in Width. The field takes at least Width bytes of the line form, so Width
// blanks always fit: a copy of constant size, which the compiler writes inline, and the text
// then overwrites the blanks it covers.
template <std::size_t Width>
char* padded(char* dest, std::string_view text) {
  if (text.size() < Width) {
    std::memcpy(dest, kBlanks, Width);
    dest += Width - text.size();
  }
  return put(dest, text);
}
}  // namespace

LogRecord::Fields::Fields(const char* theData, std::size_t size) : data(theData) {
  std::size_t found = 0;  // fields whose end is known
  std::size_t at = 0;     // bytes searched so far
#if defined(__SSE2__)
  // Sixteen bytes at a time, every tab of a block from one compare: a line's tabs cost a few
  // instructions each instead of a search call per field.
  if (size >= 16) {
    const __m128i tab = _mm_set1_epi8(kSeparator);
    auto take = [&](std::size_t base, unsigned mask) {
      for (; mask != 0 && found < kFieldCount; mask &= mask - 1) {
        ends[found++] = base + static_cast<std::size_t>(__builtin_ctz(mask));
      }
    };
    for (; found < kFieldCount && at + 16 <= size; at += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(theData + at));
      take(at, static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, tab))));
    }
    if (found < kFieldCount && at < size) {
      // The last sixteen bytes, less those already searched.
      const std::size_t base = size - 16;
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(theData + base));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, tab)));
      take(base, mask & (0xFFFFu << (at - base)));
      at = size;
    }
  }
#endif
  const char* p = theData + at;
  const char* end = theData + size;
  for (; found < kFieldCount; ++found) {
    const char* tab =
        p < end ? static_cast<const char*>(std::memchr(p, kSeparator, end - p)) : nullptr;
    ends[found] = static_cast<std::size_t>((tab ? tab : end) - theData);
    p = tab ? tab + 1 : end;
  }
}

std::size_t LogRecord::Fields::lineFormSize() const {
  std::size_t size = sizeof(kBeforeField5) - 1 + sizeof(kBeforeField6) - 1;
  for (std::size_t i = 0; i < 4; ++i) size += std::max(kWidths[i], field(i).size());
  return size + field(4).size() + field(5).size();
}

std::size_t LogRecord::Fields::paddedEnd(std::size_t i) const {
  std::size_t end = 0;
  for (std::size_t k = 0; k <= i && k < 4; ++k) end += std::max(kWidths[k], field(k).size());
  return end;
}

char* LogRecord::Fields::writeLineForm(char* dest) const {
  dest = padded<kWidths[0]>(dest, field(0));
  dest = padded<kWidths[1]>(dest, field(1));
  dest = padded<kWidths[2]>(dest, field(2));
  dest = padded<kWidths[3]>(dest, field(3));
  dest = put(dest, std::string_view(kBeforeField5, sizeof(kBeforeField5) - 1));
  dest = put(dest, field(4));
  dest = put(dest, std::string_view(kBeforeField6, sizeof(kBeforeField6) - 1));
  return put(dest, field(5));
}

void LogRecord::assign(const Fields& fields) {
  text.assign(fields.data, fields.ends[kFieldCount - 1]);
  ends = fields.ends;
}

void LogRecord::appendLineForm(std::string& out) const {
  const Fields view = fields();
  const std::size_t start = out.size();
  out.resize(start + view.lineFormSize());
  view.writeLineForm(&out[start]);
}

bool LogRecord::operator==(const LogRecord& other) const {
  const Fields mine = fields(), theirs = other.fields();
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (mine.field(i) != theirs.field(i)) return false;
  }
  return true;
}

std::ostream& operator<<(std::ostream& out, const LogRecord& record) {
  std::string text;
  record.appendLineForm(text);
  return out.write(text.data(), static_cast<std::streamsize>(text.size()));
}
