// How an error or warning line shows a value the user gave: between quotes, control bytes as \xNN
// (so that the line stays one line and no byte reaches the terminal as a command), and past 100
// bytes cut, not inside a UTF-8 character, with its length told: '1111...'... (5000 bytes).
// A pure function, for any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// quote is put on both sides; '\0' puts none.
inline std::string shownValue(std::string_view text, char quote = '\'') {
  static constexpr std::size_t kShownBytes = 100;
  static const char hex[] = "0123456789abcdef";
  std::size_t shown = text.size() < kShownBytes ? text.size() : kShownBytes;
  // Back to the start of a character: at most three continuation bytes (10xxxxxx) precede it.
  for (int i = 0;
       i < 3 && shown < text.size() && (static_cast<unsigned char>(text[shown]) & 0xc0) == 0x80;
       ++i) {
    --shown;
  }
  std::string out;
  if (quote != '\0') out += quote;
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
  if (quote != '\0') out += quote;
  if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}
