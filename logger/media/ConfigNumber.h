// The one reader of numeric configuration values. Stateless; callable from any thread.
#pragma once

#include <boost/lexical_cast.hpp>
#include <string>

#include "logger/host/ConfigurationManager.h"

class ConfigNumber final {
 public:
  // True, with value set, when text is a number of type T; false and value untouched otherwise.
  // A value counts when the whole text is a decimal number that fits the type, with at most a
  // leading plus, as the library conversion reads it: "50" and "+50" give 50; " 50", "50 ", "-1",
  // "0x10", "" and anything out of range do not. A minus sign is refused because the conversion
  // would wrap "-1" to the largest value of an unsigned type.
  template <typename T>
  static bool parse(const std::string& text, T& value) {
    // Checked here, not left to the conversion: it wraps a minus sign, and text it would refuse
    // anyway (a leading blank, say) can reach arithmetic in it that overflows.
    const std::size_t first = !text.empty() && text[0] == '+' ? 1 : 0;
    if (first == text.size()) return false;
    for (std::size_t i = first; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
    try {
      value = boost::lexical_cast<T>(text.c_str() + first, text.size() - first);
      return true;
    } catch (const boost::bad_lexical_cast&) {
      return false;  // out of range for T
    }
  }

  // Reads key from config; value keeps its default when the key is missing or not a number.
  template <typename T>
  static void read(ConfigurationManager& config, const std::string& key, T& value) {
    std::string text;
    if (config.getValue(key, text) == 0) parse(text, value);
  }
};
