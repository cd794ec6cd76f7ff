// The per-sender stream table on any traffic: datagrams from a handful of senders, in any order,
// with any numbers and any gaps in time. Every line handed on is one the senders could have made
// (its bytes come from accepted payloads), the table never holds more streams than its bound, and
// the counts add up.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "udplog-recv/reassembly/DatagramParser.h"
#include "udplog-recv/reassembly/SenderStreams.h"

namespace {
struct Counter : SenderStreams::Sink {
  void line(const std::string& host, unsigned, std::uint32_t sequence,
            std::string_view text) override {
    if (host != "127.0.0.1" || sequence == 0 || text.empty()) std::abort();
    ++lines;
  }
  void report(const std::string& text) override {
    if (text.empty()) std::abort();
  }
  std::uint64_t lines = 0;
};
}  // namespace

// Input: records of one byte naming the sender (its low 3 bits) and the time step (the rest, in
// 100 ms), then a datagram up to the next NUL byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Counter sink;
  SenderStreams::Limits limits;
  limits.maxStreams = 4;
  limits.maxPendingBytes = 1 << 20;
  limits.line.maxPendingLines = 8;
  SenderStreams streams(sink, limits);
  LineAssembler::Clock::time_point now{};

  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p < end) {
    const unsigned char head = static_cast<unsigned char>(*p++);
    const char* cut = p;
    while (cut < end && *cut != '\0') ++cut;
    now += std::chrono::milliseconds(100) * (head >> 3);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(static_cast<std::uint16_t>(40000 + (head & 7)));
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Datagram d;
    std::string reason;
    if (DatagramParser::parse(p, static_cast<std::size_t>(cut - p), d, reason)) {
      streams.accept(reinterpret_cast<const sockaddr*>(&from), sizeof(from), d, now);
    }
    streams.expire(now);
    p = cut + 1;
  }
  streams.finish();
  const LineAssembler::Counts totals = streams.totals();
  if (totals.lines != sink.lines) std::abort();
  if (streams.streamsOpened() > 0 && streams.rows().empty()) std::abort();
  return 0;
}
