// How the programs read a decimal number a user typed, such as seconds: digits with at most one
// point ("2", "0.25", ".5"), nothing else. strtod alone would also take blanks, signs, exponents,
// "inf" and hexadecimal ("0x10" as 16). A pure function, for any thread.
#pragma once

#include <cstdlib>
#include <string>

// The value, or a negative number when text is not of that form.
inline double decimalValue(const std::string& text) {
  std::size_t digits = 0, points = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return -1;
    }
  }
  return digits > 0 && points <= 1 ? std::strtod(text.c_str(), nullptr) : -1;
}
