// Checks numbered lines "T<thread>:<sequence>": each thread's lines in order, none twice, and
// which are missing.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// The text of line `sequence` of `thread`, padded to stay well over the logger's short-line limit.
inline std::string numberedLine(int thread, std::uint64_t sequence) {
  return "T" + std::to_string(thread) + ":" + std::to_string(sequence) + " numbered stress line";
}

class SequenceChecker {
 public:
  // Feeds one stored text; anything that is not a numbered line counts as foreign.
  void feed(const std::string& text) {
    auto start = text.find('T');
    auto colon = text.find(':', start);
    auto end = text.find(' ', colon);
    if (start == std::string::npos || colon == std::string::npos || end == std::string::npos) {
      ++foreignCount;
      return;
    }
    int thread = std::stoi(text.substr(start + 1, colon - start - 1));
    std::uint64_t sequence = std::stoull(text.substr(colon + 1, end - colon - 1));
    auto& theNext = next[thread];
    if (sequence < theNext) {
      ++outOfOrderCount;  // repeated or reordered
    } else {
      missingCount += sequence - theNext;
      theNext = sequence + 1;
    }
    ++seenCount;
  }

  // Lines expected per thread that never came (beyond the last one seen, too).
  std::uint64_t missing(const std::map<int, std::uint64_t>& expected) const {
    std::uint64_t total = missingCount;
    for (const auto& e : expected) {
      auto it = next.find(e.first);
      std::uint64_t theNext = it == next.end() ? 0 : it->second;
      if (e.second > theNext) total += e.second - theNext;
    }
    return total;
  }
  std::uint64_t seen() const { return seenCount; }
  std::uint64_t outOfOrder() const { return outOfOrderCount; }
  std::uint64_t foreign() const { return foreignCount; }

 private:
  std::map<int, std::uint64_t> next;
  std::uint64_t seenCount = 0, missingCount = 0, outOfOrderCount = 0, foreignCount = 0;
};

}  // namespace testsupport
