// udplog-recv between real loghost processes and a real rsyslogd: every line arrives once, in
// order per sender, with its bytes intact, also when the target goes away and comes back.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "tests/support/UdpReceiver.h"
#include "tests/udplog-recv/ForwardingSupport.h"
#include "tests/udplog-recv/LoopbackListener.h"
#include "tests/udplog-recv/RelpTestPeer.h"
#include "tests/udplog-recv/RsyslogDaemon.h"

namespace {

using testsupport::countLines;
using testsupport::freeUdpPort;
using testsupport::makeLines;
using testsupport::receiverArgs;
using testsupport::runLoghost;
using testsupport::writeLines;

// An rsyslogd with imtcp on loopback, running, and a free port for udplog-recv.
class ForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::RsyslogDaemon::available()) {
      GTEST_SKIP() << "rsyslogd is not installed (Debian package rsyslog): nothing to forward to";
    }
    ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  }

  testsupport::TempDir dir;
  testsupport::RsyslogDaemon rsyslog{dir.str()};
  const unsigned short port = freeUdpPort();
};

TEST_F(ForwardingTest, TwoLoghostsReachRsyslogOnceInOrderAcrossATargetRestart) {
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--forward", rsyslog.target(), "--output",
                         dir.file("copy.txt")});
  const auto first = makeLines("sender_a", 40), second = makeLines("sender_b", 40);
  writeLines(dir.file("a.log"), first);
  writeLines(dir.file("b.log"), second);

  // Listening once a probe datagram is reported as malformed.
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));

  // The first host while the target is up.
  ASSERT_EQ(0, runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= 40; }))
      << receiver.err();

  // The target goes away; the second host's lines wait in the backlog.
  rsyslog.stop();
  ASSERT_TRUE(testsupport::waitFor([&] {
    return receiver.err().find("closed the connection") != std::string::npos;
  })) << receiver.err();
  ASSERT_EQ(0, runLoghost(port, dir.file("b.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(dir.file("copy.txt")) >= 80; }))
      << receiver.err();

  // Back on the same port: the backlog is delivered.
  ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= 80; }))
      << receiver.err();
  receiver.signal(SIGTERM);
  // The first connection was ended by the target: TCP cannot tell whether it kept its lines.
  EXPECT_EQ(1, receiver.wait()) << receiver.err();

  EXPECT_TRUE(testsupport::eachSendersLines(rsyslog.output(), first, second)) << receiver.err();
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("80 lines, 0 lost")) << err;
  EXPECT_NE(std::string::npos, err.find("(IPv4, any sender); lines to " + dir.file("copy.txt") +
                                        " and " + rsyslog.target() + "; no metrics file\n"))
      << err;
  EXPECT_NE(std::string::npos,
            err.find("forwarded 80 lines to " + rsyslog.target() +
                     " over 2 connections; 0 dropped from the full backlog, 0 not delivered at "
                     "the end; up to 40 lines written on 1 connection that the target ended "
                     "are not confirmed (plain TCP cannot tell; relp:// confirms every line)"))
      << err;
}

// The lines that reached the receiver (its own copy) and did not reach the target's file.
std::size_t missingAtCollector(const std::string& copy, const std::string& collected) {
  std::set<std::string> arrived;
  for (const auto& sender : testsupport::bySender(collected)) {
    arrived.insert(sender.second.begin(), sender.second.end());
  }
  std::ifstream in(copy, std::ios::binary);
  std::size_t missing = 0;
  for (std::string line; std::getline(in, line);) missing += arrived.count(line) == 0 ? 1 : 0;
  return missing;
}

// The number after text in the receiver's summary; 0 when it is not there.
std::uint64_t countAfter(const std::string& err, const std::string& text) {
  const std::size_t at = err.rfind(text);
  return at == std::string::npos ? 0 : std::stoull(err.substr(at + text.size()));
}

// rsyslogd stopped (SIGTERM) and later killed (SIGKILL) while 20 000 lines stream through:
// every line it does not have is within the bound the summary gives, and the exit status is 1.
TEST_F(ForwardingTest, TcpBoundCoversEveryLineMissingAfterTheTargetStoppedAndKilled) {
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--forward", rsyslog.target(), "--output",
                         dir.file("copy.txt"), "--linger", "20"});
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  // loghost reads its lines from a FIFO that this test fills at about 10 000 lines/s.
  const std::string fifo = dir.file("lines.fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  testsupport::Subprocess sender(LOGHOST, testsupport::loghostArgs(port, fifo));
  constexpr int kLines = 20000;
  std::atomic<int> written{0};
  std::thread feeder([&] {
    // O_CLOEXEC: the rsyslogd started meanwhile must not hold the FIFO open after the end.
    const int out = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    std::string batch;
    for (int n = 1; n <= kLines; ++n) {
      batch += "2026-12-07 10:00:00\vT1\vINFO\vtcp\vline " + std::to_string(n) +
               "\vseq=" + std::to_string(n) + "\n";
      if (n % 100 == 0) {
        EXPECT_EQ(static_cast<ssize_t>(batch.size()), ::write(out, batch.data(), batch.size()));
        batch.clear();
        written = n;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ::close(out);
  });
  testsupport::waitFor([&] { return written >= 5000; });
  rsyslog.stop();
  EXPECT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  testsupport::waitFor([&] { return written >= 12000; });
  rsyslog.kill();
  EXPECT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  feeder.join();
  EXPECT_EQ(0, sender.wait()) << sender.err();
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(dir.file("copy.txt")) >= kLines; }))
      << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(1, receiver.wait()) << receiver.err();
  rsyslog.stop();  // writes out what it holds

  const std::string err = receiver.err();
  const std::uint64_t bound = countAfter(err, "; up to ") + countAfter(err, " connections; ") +
                              countAfter(err, " dropped from the full backlog, ");
  const std::size_t missing = missingAtCollector(dir.file("copy.txt"), rsyslog.output());
  std::cout << "missing at the target " << missing << ", bound " << bound << '\n';
  EXPECT_GT(countAfter(err, "; up to "), 0u) << err;
  EXPECT_LE(missing, bound) << err;
}

// Lines pushed out of the full backlog while the target was away are a failure of the run,
// even when everything else arrives: exit status 1.
TEST(TcpTargetTest, LinesDroppedFromTheFullBacklogMakeTheExitStatusOne) {
  testsupport::TempDir dir;
  // A target's port that refuses connections until the test listens on it.
  testsupport::LoopbackListener target;
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, receiverArgs(port, "tcp://" + target.hostPort(), dir, {"--backlog", "10"}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  writeLines(dir.file("a.log"), makeLines("sender_a", 40));
  ASSERT_EQ(0, runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(dir.file("copy.txt")) >= 40; }))
      << receiver.err();

  ASSERT_TRUE(target.listen(1));
  std::string received;
  std::thread reader([&] { received = target.readConnection(); });
  receiver.signal(SIGTERM);
  const int status = receiver.wait();
  reader.join();
  EXPECT_NE(std::string::npos, received.find("line 40 of sender_a")) << receiver.err();
  EXPECT_NE(std::string::npos, receiver.err().find("30 dropped from the full backlog, 0 not "
                                                   "delivered at the end"))
      << receiver.err();
  EXPECT_EQ(1, status) << receiver.err();
}

}  // namespace
