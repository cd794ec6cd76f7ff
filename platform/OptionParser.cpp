#include "platform/OptionParser.h"

#include <getopt.h>

#include <utility>

#include "platform/ShownValue.h"

namespace {

// getopt_long answers a long option without a short form with this code plus its index.
constexpr int kLongCode = 256;

}  // namespace

void OptionParser::flag(const std::string& longName, char shortName, Flag handler) {
  entries_.push_back({longName, shortName, std::move(handler), nullptr});
}

void OptionParser::value(const std::string& longName, char shortName, Value handler) {
  entries_.push_back({longName, shortName, nullptr, std::move(handler)});
}

const OptionParser::Entry* OptionParser::entryFor(int code) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& entry = entries_[i];
    if (code == kLongCode + static_cast<int>(i) || (entry.shortName && code == entry.shortName)) {
      return &entry;
    }
  }
  return nullptr;
}

// What is wrong when getopt_long refused an argument. glibc and mingw-w64 differ in the answer
// (':' or '?') for a value given to a flag, so the code of the option decides, not the answer.
std::string OptionParser::refusal(int code, const char* given) const {
  if (const Entry* entry = entryFor(code)) {
    const std::string name = entry->longName.empty() || std::string(given).rfind("--", 0) != 0
                                 ? std::string("-") + entry->shortName
                                 : "--" + entry->longName;
    return name + (entry->flag ? " takes no value" : " needs an argument");
  }
  std::string text = given;
  if (code != 0) return "unknown option " + shownValue(std::string("-") + char(code), '\0');
  if (text.rfind("--", 0) != 0) return "unknown option " + shownValue(text, '\0');
  text = text.substr(0, text.find('='));
  std::string candidates;
  for (const Entry& entry : entries_) {
    if (!entry.longName.empty() && ("--" + entry.longName).rfind(text, 0) == 0) {
      candidates += (candidates.empty() ? "" : ", ") + ("--" + entry.longName);
    }
  }
  if (candidates.find(',') == std::string::npos) {
    return "unknown option " + shownValue(text, '\0');
  }
  return "ambiguous option " + shownValue(text, '\0') + " (" + candidates + ")";
}

std::vector<std::string> OptionParser::parse(int argc, char** argv) const {
  std::string shortNames = ":";  // a leading ':' makes a missing value ':', not a message
  std::vector<option> longOptions;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& entry = entries_[i];
    const int hasArg = entry.value ? required_argument : no_argument;
    const int code = entry.shortName ? entry.shortName : kLongCode + static_cast<int>(i);
    if (entry.shortName) shortNames += std::string(1, entry.shortName) + (entry.value ? ":" : "");
    if (!entry.longName.empty()) {
      longOptions.push_back({entry.longName.c_str(), hasArg, nullptr, code});
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});

  opterr = 0;
  optind = 0;  // 0, not 1: both libraries then start over, state and all
  for (;;) {
    int longIndex = -1;
    const int code = getopt_long(argc, argv, shortNames.c_str(), longOptions.data(), &longIndex);
    if (code == -1) break;
    if (code == '?' || code == ':') throw UsageError(refusal(optopt, argv[optind - 1]));
    const Entry* entry = entryFor(code);
    if (entry->flag) {
      entry->flag();
    } else {
      entry->value(longIndex >= 0 ? "--" + entry->longName : std::string("-") + entry->shortName,
                   optarg);
    }
  }
  return std::vector<std::string>(argv + optind, argv + argc);
}
