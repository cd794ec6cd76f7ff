// The receiver's datagram parser and line assembler on any bytes: a datagram either parses into
// numbers in range or is refused, and the assembler keeps its memory bound whatever arrives.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "udplog-recv/reassembly/DatagramParser.h"
#include "udplog-recv/reassembly/LineAssembler.h"

namespace {
struct Null : LineAssembler::Listener {
  void line(std::uint32_t, std::string_view) override {}
  void report(const std::string& text) override {
    if (text.empty()) std::abort();
  }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Null listener;
  static LineAssembler::Limits limits = [] {
    LineAssembler::Limits l;
    l.maxPendingLines = 16;
    l.maxPendingBytes = 1 << 20;
    return l;
  }();
  static LineAssembler assembler(listener, limits);
  static LineAssembler::Clock::time_point now{};

  // The input may hold several datagrams separated by a NUL byte.
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p <= end) {
    const char* cut = p;
    while (cut < end && *cut != '\0') ++cut;
    Datagram d;
    std::string reason;
    if (DatagramParser::parse(p, static_cast<std::size_t>(cut - p), d, reason)) {
      if (d.sequence == 0 || d.part == 0 || d.part > d.count || d.payloadSize == 0 ||
          d.payloadSize > DatagramParser::kMaxPayload || d.payload < p || d.payload > cut) {
        std::abort();
      }
      assembler.accept(d, now);
    } else if (reason.empty()) {
      std::abort();
    }
    now += std::chrono::milliseconds(100);
    p = cut + 1;
  }
  assembler.expire(now);
  return 0;
}
