// The one reader of numeric configuration values.
//
// A value counts when the library conversion takes the whole text as a decimal number that fits
// the type, without a minus sign: "50" and "+50" give 50; " 50", "50 ", "-1", "0x10", "" and
// anything out of range leave the caller's default. A minus sign is refused up front because the
// conversion would wrap "-1" to the largest value of an unsigned type. Stateless; callable from
// any thread.
#pragma once

#include <boost/lexical_cast.hpp>
#include <string>

#include "logger/host/ConfigurationManager.h"

class ConfigNumber final {
 public:
  // True, with value set, when text is a number of type T; false and value untouched otherwise.
  template <typename T>
  static bool parse(const std::string& text, T& value) {
    if (text.empty() || text.find('-') != std::string::npos) return false;
    try {
      value = boost::lexical_cast<T>(text);
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
