#include <gtest/gtest.h>
#include <netinet/in.h>

#include <thread>

#include "tests/support/TestSupport.h"
#include "udplog-recv/forward/NameLookup.h"

namespace {

using Status = NameLookup::Status;

NameLookup::Clock::time_point inSeconds(int seconds) {
  return NameLookup::Clock::now() + std::chrono::seconds(seconds);
}

// A literal resolves inside start(); a name resolves on the resolver's thread while poll() only
// looks; a name that cannot resolve fails with the resolver's reason.
TEST(NameLookupTest, ResolvesLiteralsAtOnceNamesLaterAndReportsNamesThatDoNotResolve) {
  NameLookup lookup;
  ASSERT_EQ(Status::kResolved, lookup.start("::1", "514"));
  ASSERT_EQ(1u, lookup.addresses().size());
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(lookup.addresses()[0].storage);
  EXPECT_EQ(AF_INET6, v6.sin6_family);
  EXPECT_EQ(514, ntohs(v6.sin6_port));

  EXPECT_EQ(Status::kPending, lookup.start("localhost", "6514"));
  const auto deadline = inSeconds(30);
  while (lookup.poll() == Status::kPending && NameLookup::Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(Status::kResolved, lookup.status()) << lookup.error();
  for (const NameLookup::Address& address : lookup.addresses()) {
    const int family = address.storage.ss_family;
    EXPECT_TRUE(family == AF_INET || family == AF_INET6) << family;
  }

  lookup.start(testsupport::unresolvableName(), "514");
  EXPECT_EQ(Status::kFailed, lookup.wait(inSeconds(30)));
  EXPECT_TRUE(lookup.addresses().empty());
  EXPECT_FALSE(lookup.error().empty());
}

// Lookups abandoned mid-way (by a new start() and by the destructor) are not waited for: their
// resolver threads finish on state they share, which outlives the lookup (under the address
// sanitizer, a thread writing into a freed lookup fails here), and none is left running.
TEST(NameLookupTest, AbandonedLookupsAreFreedOnceTheResolverEndsThem) {
  for (int round = 0; round < 20; ++round) {
    NameLookup lookup;
    lookup.start("localhost", "514");
    lookup.start(testsupport::unresolvableName(), "514");
  }
  const auto deadline = inSeconds(30);
  while (NameLookup::abandonedInFlight() > 0 && NameLookup::Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(0u, NameLookup::abandonedInFlight());
}

}  // namespace
