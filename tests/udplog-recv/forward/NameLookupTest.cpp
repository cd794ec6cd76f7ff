#include <gtest/gtest.h>
#include <netinet/in.h>

#include <condition_variable>
#include <mutex>
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
  // The lookup's end, looked at as its users do, within 30 s.
  const auto settled = [&lookup] {
    const auto deadline = inSeconds(30);
    while (lookup.poll() == Status::kPending && NameLookup::Clock::now() < deadline) {
      std::this_thread::sleep_for(NameLookup::kPollInterval);
    }
    return lookup.status();
  };
  ASSERT_EQ(Status::kResolved, settled()) << lookup.error();
  for (const NameLookup::Address& address : lookup.addresses()) {
    const int family = address.storage.ss_family;
    EXPECT_TRUE(family == AF_INET || family == AF_INET6) << family;
  }

  lookup.start(testsupport::unresolvableName(), "514");
  EXPECT_EQ(Status::kFailed, settled());
  EXPECT_TRUE(lookup.addresses().empty());
  EXPECT_FALSE(lookup.error().empty());
}

// Lookups abandoned mid-way (by a new start() and by the destructor) are not waited for: their
// resolver threads, held inside the resolver until the test lets them go, finish on state they
// share, which outlives the lookup (under the address sanitizer, a thread writing into a freed
// lookup fails here), and none is left running.
TEST(NameLookupTest, AbandonedLookupsAreFreedOnceTheResolverEndsThem) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  const NameLookup::Resolver held = [&](const char* host, const char* port, const addrinfo* hints,
                                        addrinfo** answer) {
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [&] { return release; });
    return ::getaddrinfo(host, port, hints, answer);
  };
  const std::size_t before = NameLookup::abandonedInFlight();
  for (int round = 0; round < 10; ++round) {
    NameLookup lookup(held);
    EXPECT_EQ(Status::kPending, lookup.start("localhost", "514"));
    EXPECT_EQ(Status::kPending, lookup.start(testsupport::unresolvableName(), "514"));
  }
  EXPECT_EQ(before + 20, NameLookup::abandonedInFlight());
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  released.notify_all();
  const auto deadline = inSeconds(30);
  while (NameLookup::abandonedInFlight() > before && NameLookup::Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(before, NameLookup::abandonedInFlight());
}

}  // namespace
