#include <gtest/gtest.h>

#include <map>
#include <random>

#include "udplog-recv/reassembly/SenderTable.h"

namespace {

using Table = SenderTable<int>;

Table::Key keyOf(unsigned n) {
  Table::Key key;
  key.address[10] = key.address[11] = 0xff;
  key.address[15] = static_cast<unsigned char>(n % 7);  // few addresses, many ports
  key.port = static_cast<std::uint16_t>(40000 + n);
  return key;
}

// Entries are added and removed in a random order while the table grows: every key added and not
// removed is found with its value, every removed one is not, whatever runs of neighbours the
// removals shift back (across the end of the array too).
TEST(SenderTableTest, FindsEveryKeyLeftAfterRemovalsInAnyOrder) {
  std::mt19937 random(7);
  for (unsigned round = 0; round < 20; ++round) {
    Table table;
    std::map<unsigned, int> expected;
    for (unsigned step = 0; step < 600; ++step) {
      const unsigned n = random() % 300;
      if (expected.count(n)) {
        table.erase(keyOf(n));
        expected.erase(n);
      } else {
        table.insert(keyOf(n), std::make_unique<int>(static_cast<int>(n)));
        expected[n] = static_cast<int>(n);
      }
      ASSERT_EQ(expected.size(), table.size());
    }
    for (unsigned n = 0; n < 300; ++n) {
      const int* found = table.find(keyOf(n));
      ASSERT_EQ(expected.count(n) != 0, found != nullptr) << "round " << round << " key " << n;
      if (found) {
        EXPECT_EQ(static_cast<int>(n), *found);
      }
    }
    std::size_t visited = 0;
    table.forEach([&](const Table::Key& key, int value) {
      EXPECT_EQ(key.port, 40000 + value);
      ++visited;
    });
    EXPECT_EQ(expected.size(), visited);
  }
}

}  // namespace
