#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/udplog-recv/LoopbackListener.h"
#include "tests/udplog-recv/forward/TestResolvers.h"
#include "udplog-recv/forward/SyslogMessage.h"
#include "udplog-recv/forward/TcpForwarder.h"

namespace {

TEST(TcpForwarderTest, FramesEachLineAsOneOctetCountedMessage) {
  const auto when = std::chrono::system_clock::time_point(std::chrono::seconds(1796637626)) +
                    std::chrono::microseconds(415123);
  const std::string line = "2026-12-07 10:00:26\vT4\vERROR\vdb\vconnection lost\v-";
  const std::string message =
      "<11>1 2026-12-07T10:00:26.415123Z 127.0.0.1 udplog 40000 - - " + line;
  EXPECT_EQ(std::to_string(message.size()) + " " + message,
            SyslogMessage::frame("127.0.0.1", 40000, line, when));

  ForwardTarget target;
  EXPECT_TRUE(ForwardTarget::parse("tcp://127.0.0.1:514", TcpForwarder::kScheme, target).ok());
  EXPECT_TRUE(ForwardTarget::parse("tcp://[::1]:6514", TcpForwarder::kScheme, target).ok());
  EXPECT_EQ("::1", target.host);
  // A name is resolved at each connection attempt: one that does not resolve now is no error.
  EXPECT_TRUE(ForwardTarget::parse("tcp://logs.invalid:514", TcpForwarder::kScheme, target).ok());
  for (const char* bad :
       {"udp://127.0.0.1:514", "tcp://127.0.0.1", "tcp://[::1:514", "tcp://::1:514",
        "tcp://127.0.0.1:0", "tcp://127.0.0.1:65536", "tcp://127.0.0.1:-5"}) {
    const ForwardResult result = ForwardTarget::parse(bad, TcpForwarder::kScheme, target);
    EXPECT_FALSE(result.ok()) << bad;
    EXPECT_NE(std::string::npos, result.cause().find(bad)) << result.cause();
  }
}

// A target on ::1 that appears only after lines were queued: the backlog keeps the newest
// lines up to its bound, and they arrive in order once it listens.
TEST(TcpForwarderTest, HoldsABoundedBacklogUntilTheTargetListens) {
  int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  socklen_t length = sizeof(address);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "tcp://[::1]:" + std::to_string(ntohs(address.sin6_port));

  ForwardTarget target;
  const ForwardResult parsed = ForwardTarget::parse(url, TcpForwarder::kScheme, target);
  ASSERT_TRUE(parsed.ok()) << parsed.cause();
  TcpForwarder::Limits limits;
  limits.maxLines = 3;
  limits.firstBackoff = std::chrono::milliseconds(10);
  std::vector<std::string> reports;
  TcpForwarder forwarder(target, limits, [&](const std::string& r) { reports.push_back(r); });
  const auto when = std::chrono::system_clock::now();
  for (int n = 1; n <= 5; ++n) forwarder.enqueue("::1", 7, "line " + std::to_string(n), when);
  forwarder.pump(TcpForwarder::Clock::now(), 0);  // refused: nobody listens yet
  EXPECT_EQ(2u, forwarder.counts().dropped);

  ASSERT_EQ(0, ::listen(listener, 4));
  std::string received;
  std::thread collector([&] {
    int connection = ::accept(listener, nullptr, nullptr);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(connection, buffer, sizeof(buffer))) > 0) received.append(buffer, n);
    ::close(connection);
  });
  EXPECT_EQ(0u, forwarder.finish(TcpForwarder::Clock::now() + std::chrono::seconds(20)));
  collector.join();
  ::close(listener);
  EXPECT_EQ(3u, forwarder.counts().forwarded);
  const std::size_t third = received.find(" ::1 udplog 7 - - line 3");
  const std::size_t fifth = received.find(" ::1 udplog 7 - - line 5");
  EXPECT_NE(std::string::npos, third) << received;
  EXPECT_NE(std::string::npos, fifth) << received;
  EXPECT_LT(third, fifth);
  EXPECT_EQ(std::string::npos, received.find("line 2")) << received;
}

}  // namespace

namespace {

// A target that takes the connection and closes it without reading a byte: what was written
// to it is counted as unconfirmed, never as delivered.
TEST(TcpForwarderTest, LinesATargetNeverReadAreCountedUnconfirmed) {
  testsupport::LoopbackListener listener;
  ASSERT_TRUE(listener.listen(1));
  ForwardTarget target;
  ASSERT_TRUE(
      ForwardTarget::parse("tcp://" + listener.hostPort(), TcpForwarder::kScheme, target).ok());
  std::vector<std::string> reports;
  TcpForwarder forwarder(target, TcpForwarder::Limits(),
                         [&](const std::string& r) { reports.push_back(r); });
  const auto when = std::chrono::system_clock::now();
  for (int n = 1; n <= 3; ++n) forwarder.enqueue("127.0.0.1", 7, "line " + std::to_string(n), when);
  for (int i = 0; i < 100 && forwarder.counts().forwarded < 3; ++i) {
    pollfd watch{forwarder.fd(), POLLOUT, 0};
    ::poll(&watch, forwarder.fd() >= 0 ? 1 : 0, 10);
    forwarder.pump(TcpForwarder::Clock::now(), watch.revents);
  }
  ASSERT_EQ(3u, forwarder.counts().forwarded);
  int collector = ::accept(listener.fd(), nullptr, nullptr);
  ASSERT_GE(collector, 0);
  ::close(collector);  // unread bytes: the kernel resets the connection
  forwarder.finish(TcpForwarder::Clock::now() + std::chrono::seconds(5));
  EXPECT_EQ(3u, forwarder.counts().unconfirmed);
}

// Time passed in: a black hole is reported when the time-out ends (not after the kernel's two
// minutes), the name's next address is tried with a time-out of its own, and a resolver that
// never answers is reported at the time-out and waited for, never asked again.
TEST(TcpForwarderTest, EveryWaitEndsAtTheTimeOutAndTheNextAddressGetsItsOwn) {
  testsupport::LoopbackListener hole("127.0.0.2");
  hole.fillQueue();
  const unsigned short port = hole.port();
  testsupport::LoopbackListener working("127.0.0.1", port);
  ASSERT_TRUE(working.listen());

  TcpForwarder::Limits limits;
  limits.timeout = std::chrono::seconds(2);
  std::vector<std::string> reports;
  const auto report = [&](const std::string& r) { reports.push_back(r); };
  const ForwardTarget two{"tcp://two.test:" + std::to_string(port), "two.test",
                          std::to_string(port)};
  TcpForwarder forwarder(two, limits, report, testsupport::resolvesTo({"127.0.0.2", "127.0.0.1"}));
  const auto start = TcpForwarder::Clock::now();
  // The name is looked up on the resolver's thread: the clock stands still meanwhile.
  const auto resolved = [&](TcpForwarder& f) {
    for (int i = 0; i < 1000 && f.nextDue() < start + std::chrono::seconds(1); ++i) {
      f.pump(start, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return f.nextDue();
  };
  EXPECT_EQ(start + std::chrono::seconds(2), resolved(forwarder));
  forwarder.pump(start + std::chrono::milliseconds(1999), 0);
  EXPECT_TRUE(reports.empty());
  forwarder.pump(start + std::chrono::seconds(2), 0);  // 127.0.0.2 gave up; 127.0.0.1 is next
  EXPECT_EQ(start + std::chrono::seconds(4), forwarder.nextDue());
  pollfd watch{forwarder.fd(), POLLOUT, 0};
  ASSERT_EQ(1, ::poll(&watch, 1, 5000));
  forwarder.pump(start + std::chrono::seconds(3), watch.revents);
  EXPECT_EQ(1u, forwarder.counts().connections);
  ASSERT_EQ(1u, reports.size());  // the address passed over, named
  EXPECT_NE(std::string::npos,
            reports[0].find("127.0.0.2: no connection within 2 s (trying the next address)"));
  reports.clear();

  // Only the black hole: its first failure is reported at the time-out, naming it.
  TcpForwarder alone(two, limits, report, testsupport::resolvesTo({"127.0.0.2"}));
  EXPECT_EQ(start + std::chrono::seconds(2), resolved(alone));
  alone.pump(start + std::chrono::seconds(2), 0);
  ASSERT_EQ(1u, reports.size());
  EXPECT_NE(std::string::npos, reports[0].find("127.0.0.2: no connection within 2 s"))
      << reports[0];

  testsupport::HeldResolver held;
  {
    TcpForwarder stuck(two, limits, report, held.resolver());
    for (int second = 0; second < 60; ++second) {
      stuck.pump(start + std::chrono::seconds(second), 0);
      if (second == 0) {
        ASSERT_TRUE(testsupport::waitFor([&] { return held.calls() == 1; }));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // for lookups begun again
    EXPECT_EQ(1, held.calls()) << "a lookup was begun again while one still ran";
    ASSERT_EQ(2u, reports.size());
    EXPECT_NE(std::string::npos, reports[1].find("no answer from the name lookup of 'two.test' "
                                                 "within 2 s"))
        << reports[1];
  }
  held.release();
  ASSERT_TRUE(testsupport::waitFor([&] { return held.done() == 1; }));
}

// A stop cuts the backoff short: finish() tries at once, however long the last failure set the
// next attempt off (here past the stop's deadline), and the line is delivered.
TEST(TcpForwarderTest, AStopTriesAtOnceWhateverTheBackoff) {
  testsupport::LoopbackListener listener;
  const std::string port = std::to_string(listener.port());
  TcpForwarder::Limits limits;
  limits.firstBackoff = limits.maxBackoff = std::chrono::seconds(60);
  TcpForwarder forwarder({"tcp://127.0.0.1:" + port, "127.0.0.1", port}, limits,
                         [](const std::string&) {});
  forwarder.enqueue("127.0.0.1", 7, "a line", std::chrono::system_clock::now());
  forwarder.pump(TcpForwarder::Clock::now(), 0);
  for (int i = 0; i < 100 && forwarder.fd() >= 0; ++i) {  // refused: nobody listens yet
    pollfd watch{forwarder.fd(), forwarder.events(), 0};
    ::poll(&watch, 1, 50);
    forwarder.pump(TcpForwarder::Clock::now(), watch.revents);
  }
  ASSERT_GT(forwarder.nextDue(), TcpForwarder::Clock::now() + std::chrono::seconds(50));
  ASSERT_TRUE(listener.listen());
  EXPECT_EQ(0u, forwarder.finish(TcpForwarder::Clock::now() + std::chrono::seconds(20)));
  EXPECT_EQ(1u, forwarder.counts().forwarded);
}

}  // namespace
