// How udplog-recv's error lines show a value the user gave: in single quotes, control bytes as
// \xNN (so that the error stays one line and no byte reaches the terminal as a command), and past
// 100 bytes cut, not inside a UTF-8 character, with its length told: '1111...'... (5000 bytes).
// A pure function, for any thread.
#pragma once

#include <cstddef>
#include <string>

inline std::string shownValue(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::size_t shown = text.size() < 100 ? text.size() : 100;
  // Back to the start of a character: at most three continuation bytes (10xxxxxx) precede it.
  for (int i = 0;
       i < 3 && shown < text.size() && (static_cast<unsigned char>(text[shown]) & 0xc0) == 0x80;
       ++i) {
    --shown;
  }
  std::string out = "'";
  for (std::size_t i = 0; i < shown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "'";
  if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}
