#include "udplog-recv/reassembly/DatagramParser.h"

namespace {

// Reads decimal digits up to the terminator; false on no digits, a non-digit or overflow.
bool readNumber(const char*& p, const char* end, char terminator, std::uint64_t limit,
                std::uint64_t& value) {
  value = 0;
  const char* start = p;
  while (p < end && *p != terminator) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    if (value > limit) return false;
    ++p;
  }
  if (p == start || p == end) return false;
  ++p;  // the terminator
  return true;
}

}  // namespace

bool DatagramParser::parse(const char* data, std::size_t size, Datagram& out, std::string& reason) {
  const char* p = data;
  const char* end = data + size;
  std::uint64_t sequence, part, count;
  if (!readNumber(p, end, ':', UINT32_MAX, sequence) || sequence == 0) {
    reason = "no valid sequence number";
    return false;
  }
  if (!readNumber(p, end, '/', kMaxParts, part) || !readNumber(p, end, '|', kMaxParts, count)) {
    reason = "no valid part/count";
    return false;
  }
  if (part == 0 || count == 0 || part > count) {
    reason = "part " + std::to_string(part) + " of " + std::to_string(count);
    return false;
  }
  const std::size_t payloadSize = static_cast<std::size_t>(end - p);
  if (payloadSize > kMaxPayload || payloadSize == 0 ||
      (part < count && payloadSize != kMaxPayload)) {
    reason = "payload of " + std::to_string(payloadSize) + " bytes in part " +
             std::to_string(part) + "/" + std::to_string(count);
    return false;
  }
  out.sequence = static_cast<std::uint32_t>(sequence);
  out.part = static_cast<std::uint32_t>(part);
  out.count = static_cast<std::uint32_t>(count);
  out.payload = p;
  out.payloadSize = payloadSize;
  return true;
}
