// Log lines for the benchmarks: six vertical-tab separated fields padded to a given size.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace benchlines {

inline std::string line(std::size_t size, std::size_t n, const std::string& source = "core") {
  std::string text = "2026-12-07 10:00:00.123\x0bT" + std::to_string(n % 8) + "\x0bINFO\x0b" +
                     source + "\x0bmessage " + std::to_string(n) + "\x0b";
  if (text.size() < size) text.append(size - text.size(), 'd');
  return text;
}

// The middle of a benchmark's runs (the upper one of an even count); 0 for none.
inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace benchlines
