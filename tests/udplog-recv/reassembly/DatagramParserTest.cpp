#include <gtest/gtest.h>

#include "udplog-recv/reassembly/DatagramParser.h"

namespace {

TEST(DatagramParserTest, AcceptsWellFormedHeadersAndRefusesTheRest) {
  const std::string full(50000, 'x');
  struct Case {
    std::string datagram;
    bool ok;
    std::uint32_t sequence, part, count;
    std::size_t payload;
  };
  const Case cases[] = {
      {"1:1/1|hello", true, 1, 1, 1, 5},
      {"4294967295:1/1|x", true, 4294967295u, 1, 1, 1},
      {"7:1/3|" + full, true, 7, 1, 3, 50000},
      {"7:3/3|tail", true, 7, 3, 3, 4},
      {"1:1/1|a|b:c/d", true, 1, 1, 1, 7},
      {"0:1/1|x", false, 0, 0, 0, 0},
      {"4294967296:1/1|x", false, 0, 0, 0, 0},
      {"1:0/1|x", false, 0, 0, 0, 0},
      {"1:2/1|x", false, 0, 0, 0, 0},
      {"1:1/0|x", false, 0, 0, 0, 0},
      {"1:1/65537|x", false, 0, 0, 0, 0},
      {"1:1/2|short", false, 0, 0, 0, 0},
      {"1:1/1|" + full + "y", false, 0, 0, 0, 0},
      {"1:1/1|", false, 0, 0, 0, 0},
      {"1:1/1", false, 0, 0, 0, 0},
      {"-1:1/1|x", false, 0, 0, 0, 0},
      {" 1:1/1|x", false, 0, 0, 0, 0},
      {":1/1|x", false, 0, 0, 0, 0},
      {"1:/1|x", false, 0, 0, 0, 0},
      {"no header at all", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
      {"99999999999999999999999999:1/1|x", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Datagram d;
    std::string reason;
    bool ok = DatagramParser::parse(c.datagram.data(), c.datagram.size(), d, reason);
    EXPECT_EQ(c.ok, ok) << c.datagram.substr(0, 40);
    if (!ok) {
      EXPECT_FALSE(reason.empty());
      continue;
    }
    EXPECT_EQ(c.sequence, d.sequence);
    EXPECT_EQ(c.part, d.part);
    EXPECT_EQ(c.count, d.count);
    EXPECT_EQ(c.payload, d.payloadSize);
    EXPECT_EQ(c.datagram.data() + c.datagram.size() - c.payload, d.payload);
  }
}

}  // namespace
