// Who may send to the receiver: the networks given with --allow, and the count of datagrams
// refused from everywhere else. With no rule every sender is admitted. Not thread-safe: the
// receiving thread owns it.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class SenderFilter final {
 public:
  // An address and the number of its leading bits that count, IPv4 in IPv4-mapped form.
  struct Network {
    std::array<unsigned char, 16> address{};
    unsigned prefix = 128;
  };

  struct Refused {
    std::string network;  // "10.1.2.0/24", "2001:db8:0:1::/64"
    std::uint64_t datagrams = 0;
  };

  static constexpr std::size_t kMaxNetworks = 1024;

  // "10.1.0.0/16", "127.0.0.1", "::1", "2001:db8::/32": false for anything else, a prefix too
  // long for its family or a slash with nothing after it. Bits past the prefix are ignored.
  static bool parse(const std::string& text, Network& network);

  void allow(const Network& network) { allowed.push_back(network); }
  // True when there are rules to check.
  bool active() const { return !allowed.empty(); }

  // True when the source may send; otherwise the datagram is counted against the source's
  // network, whose name goes to refusedFrom ("127.0.0.0/24"): a /24 for IPv4 and a /64 for IPv6,
  // at most kMaxNetworks of them, the rest in one count. Rules and sources are compared as IPv6
  // addresses, an IPv4 address as its IPv4-mapped form (::ffff:10.1.2.3), so that "10.1.0.0/16"
  // also matches a sender heard on a dual-stack socket ("::").
  bool admits(const sockaddr* from, socklen_t length, std::string* refusedFrom);

  // Whether some rule can admit an IPv4 sender, and an IPv6 one (an address outside
  // ::ffff:0:0/96): a listener of one family with rules only for the other refuses everything.
  bool mayAdmitIpv4() const;
  bool mayAdmitIpv6() const;
  // For a listener on address ("127.0.0.1", "::1"), the family its datagrams come in ("IPv4",
  // "IPv6") when no rule can admit that family; nullptr otherwise, also for "::", which hears both.
  const char* familyRefusedOn(const std::string& address) const;

  std::uint64_t refused() const { return refusedCount; }
  // The networks refused, most datagrams first; past kMaxNetworks the rest share one row.
  std::vector<Refused> refusedByNetwork() const;

 private:
  using Address = std::array<unsigned char, 16>;
  struct AddressHash {
    std::size_t operator()(const Address& address) const;
  };

  static bool matches(const Network& network, const Address& address);
  static std::string name(const Address& network);

  // Set before the first datagram
  std::vector<Network> allowed;

  std::uint64_t refusedCount = 0;
  std::unordered_map<Address, Refused, AddressHash> networks;  // by the network's address
  std::uint64_t refusedElsewhere = 0;                          // from networks past kMaxNetworks
};
