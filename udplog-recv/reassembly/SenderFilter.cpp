#include "udplog-recv/reassembly/SenderFilter.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned kMappedBits = 96;  // ::ffff:0:0/96 holds the IPv4 addresses
constexpr unsigned kIpv4Refused = 24;
constexpr unsigned kIpv6Refused = 64;

bool isMapped(const std::array<unsigned char, 16>& address) {
  return IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(address.data()));
}

// Clears the bits past prefix.
void cut(std::array<unsigned char, 16>& address, unsigned prefix) {
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned kept = prefix > i * 8 ? std::min(8u, prefix - i * 8) : 0;
    address[i] &= static_cast<unsigned char>(0xff00u >> kept);
  }
}

}  // namespace

bool SenderFilter::parse(const std::string& text, Network& network) {
  const std::size_t slash = text.find('/');
  const std::string host = text.substr(0, slash);
  Network result;
  unsigned bits = 0;
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    result.address[10] = result.address[11] = 0xff;
    std::memcpy(&result.address[12], &v4, 4);
    bits = 32;
  } else if (inet_pton(AF_INET6, host.c_str(), result.address.data()) == 1) {
    bits = 128;
  } else {
    return false;
  }
  unsigned prefix = bits;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    prefix = static_cast<unsigned>(std::stoul(digits));
    if (prefix > bits) return false;
  }
  result.prefix = prefix + (128 - bits);
  cut(result.address, result.prefix);
  network = result;
  return true;
}

bool SenderFilter::matches(const Network& network, const Address& address) {
  const unsigned whole = network.prefix / 8, rest = network.prefix % 8;
  if (std::memcmp(network.address.data(), address.data(), whole) != 0) return false;
  if (rest == 0) return true;
  const unsigned mask = 0xff00u >> rest;
  return (network.address[whole] & mask) == (address[whole] & mask);
}

std::size_t SenderFilter::AddressHash::operator()(const Address& address) const {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char byte : address) h = (h ^ byte) * 1099511628211ull;
  return static_cast<std::size_t>(h);
}

std::string SenderFilter::name(const Address& network) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (isMapped(network)) {
    inet_ntop(AF_INET, &network[12], text, sizeof(text));
    return std::string(text) + "/" + std::to_string(kIpv4Refused);
  }
  inet_ntop(AF_INET6, network.data(), text, sizeof(text));
  return std::string(text) + "/" + std::to_string(kIpv6Refused);
}

bool SenderFilter::mayAdmitIpv4() const {
  Address mapped{};
  mapped[10] = mapped[11] = 0xff;
  return std::any_of(allowed.begin(), allowed.end(), [&](const Network& network) {
    Network wider = network;  // the rule cut to the mapped range's length, where it is longer
    wider.prefix = std::min(network.prefix, kMappedBits);
    return matches(wider, mapped);
  });
}

bool SenderFilter::mayAdmitIpv6() const {
  return std::any_of(allowed.begin(), allowed.end(), [](const Network& network) {
    return network.prefix < kMappedBits || !isMapped(network.address);
  });
}

const char* SenderFilter::familyRefusedOn(const std::string& address) const {
  Network listener;
  if (!active() || !parse(address, listener)) return nullptr;
  if (isMapped(listener.address)) return mayAdmitIpv4() ? nullptr : "IPv4";
  const bool any = std::all_of(listener.address.begin(), listener.address.end(),
                               [](unsigned char byte) { return byte == 0; });
  return any || mayAdmitIpv6() ? nullptr : "IPv6";
}

bool SenderFilter::admits(const sockaddr* from, socklen_t length, std::string* refusedFrom) {
  if (allowed.empty()) return true;
  Address address{};
  if (from->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    address[10] = address[11] = 0xff;
    std::memcpy(&address[12], &reinterpret_cast<const sockaddr_in*>(from)->sin_addr, 4);
  } else if (from->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6*>(from)->sin6_addr, 16);
  }
  for (const Network& network : allowed) {
    if (matches(network, address)) return true;
  }
  ++refusedCount;
  cut(address, isMapped(address) ? kMappedBits + kIpv4Refused : kIpv6Refused);
  auto it = networks.find(address);
  if (it == networks.end()) {
    if (networks.size() >= kMaxNetworks) {
      ++refusedElsewhere;
      if (refusedFrom) *refusedFrom = name(address);
      return false;
    }
    it = networks.emplace(address, Refused{name(address), 0}).first;
  }
  ++it->second.datagrams;
  if (refusedFrom) *refusedFrom = it->second.network;
  return false;
}

std::vector<SenderFilter::Refused> SenderFilter::refusedByNetwork() const {
  std::vector<Refused> rows;
  for (const auto& entry : networks) rows.push_back(entry.second);
  std::sort(rows.begin(), rows.end(), [](const Refused& a, const Refused& b) {
    return a.datagrams != b.datagrams ? a.datagrams > b.datagrams : a.network < b.network;
  });
  if (refusedElsewhere > 0) rows.push_back(Refused{"other networks", refusedElsewhere});
  return rows;
}
