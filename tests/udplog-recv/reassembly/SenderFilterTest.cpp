#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "udplog-recv/reassembly/SenderFilter.h"

namespace {

// A source address as the socket gives it: sockaddr_in for IPv4 text, sockaddr_in6 otherwise.
bool admits(SenderFilter& filter, const std::string& source, std::string* network = nullptr) {
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (inet_pton(AF_INET, source.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    return filter.admits(reinterpret_cast<sockaddr*>(&v4), sizeof(v4), network);
  }
  EXPECT_EQ(1, inet_pton(AF_INET6, source.c_str(), &v6.sin6_addr)) << source;
  v6.sin6_family = AF_INET6;
  return filter.admits(reinterpret_cast<sockaddr*>(&v6), sizeof(v6), network);
}

TEST(SenderFilterTest, PrefixesMatchBitByBitAndIpv4RulesMatchMappedSources) {
  SenderFilter filter;
  for (const char* rule : {"10.16.0.0/12", "192.168.1.7", "2001:db8:8000::/33", "::1"}) {
    SenderFilter::Network network;
    ASSERT_TRUE(SenderFilter::parse(rule, network)) << rule;
    filter.allow(network);
  }
  const std::vector<std::pair<std::string, bool>> cases = {{"10.16.0.1", true},
                                                           {"10.31.255.255", true},
                                                           {"10.32.0.0", false},
                                                           {"10.15.255.255", false},
                                                           {"192.168.1.7", true},
                                                           {"192.168.1.8", false},
                                                           {"::ffff:10.20.0.1", true},
                                                           {"::ffff:10.32.0.1", false},
                                                           {"::10.20.0.1", false},
                                                           {"2001:db8:8000::1", true},
                                                           {"2001:db8:ffff::1", true},
                                                           {"2001:db8:7fff::1", false},
                                                           {"::1", true},
                                                           {"::2", false},
                                                           {"127.0.0.1", false}};
  for (const auto& c : cases) EXPECT_EQ(c.second, admits(filter, c.first)) << c.first;

  // Refused ones are counted per /24 or /64, named by the network.
  std::string network;
  EXPECT_FALSE(admits(filter, "::ffff:10.32.7.9", &network));
  EXPECT_EQ("10.32.7.0/24", network);
  EXPECT_FALSE(admits(filter, "2001:db8:7fff:1:2::3", &network));
  EXPECT_EQ("2001:db8:7fff:1::/64", network);
  const auto rows = filter.refusedByNetwork();
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ("10.32.0.0/24", rows[0].network);  // 10.32.0.0 and ::ffff:10.32.0.1
  EXPECT_EQ(2u, rows[0].datagrams);
  EXPECT_EQ(10u, filter.refused());
}

// A listener of one family with rules only for the other is warned of; rules wide enough to
// cover both families are not.
TEST(SenderFilterTest, TellsWhetherTheRulesCanAdmitEachFamily) {
  const auto filterOf = [](std::vector<const char*> rules) {
    SenderFilter filter;
    for (const char* rule : rules) {
      SenderFilter::Network network;
      EXPECT_TRUE(SenderFilter::parse(rule, network)) << rule;
      filter.allow(network);
    }
    return filter;
  };
  struct Case {
    std::vector<const char*> rules;
    bool ipv4, ipv6;
  };
  const std::vector<Case> cases = {{{"::1", "2001:db8::/32"}, false, true},
                                   {{"10.0.0.0/8"}, true, false},
                                   {{"0.0.0.0/0"}, true, false},
                                   {{"::/0"}, true, true},
                                   {{"::/64"}, true, true},
                                   {{"::ffff:0:0/96"}, true, false},
                                   {{"::ffff:0:0/95"}, true, true},
                                   {{"2001:db8::/32", "127.0.0.1"}, true, true}};
  for (const auto& c : cases) {
    const SenderFilter filter = filterOf(c.rules);
    EXPECT_EQ(c.ipv4, filter.mayAdmitIpv4()) << c.rules[0];
    EXPECT_EQ(c.ipv6, filter.mayAdmitIpv6()) << c.rules[0];
  }
}

}  // namespace
