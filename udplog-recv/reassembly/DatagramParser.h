// Reads the header of one datagram sent by the UDP medium: "<sequence>:<part>/<count>|<payload>".
//
// Stateless and safe on any input: every byte string either parses into a Datagram whose numbers
// are in range (sequence 1..4294967295, 1 <= part <= count <= kMaxParts, a payload of at most
// 50000 bytes, exactly 50000 for every part but the last), or is refused with a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Datagram {
  std::uint32_t sequence = 0;
  std::uint32_t part = 0;
  std::uint32_t count = 0;
  const char* payload = nullptr;  // points into the parsed buffer
  std::size_t payloadSize = 0;
};

class DatagramParser final {
 public:
  static constexpr std::size_t kMaxPayload = 50000;
  // A line of this many parts is 3.2 GB; a larger count is taken as corrupt.
  static constexpr std::uint32_t kMaxParts = 65536;

  // True with out filled, or false with reason set.
  static bool parse(const char* data, std::size_t size, Datagram& out, std::string& reason);
};
