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
using testsupport::makeLines;
using testsupport::runLoghost;
using testsupport::writeLines;

unsigned short freeUdpPort() {
  testsupport::UdpReceiver probe;
  return probe.port();
}

// udplog-recv's arguments: port, forwarding to target, a copy of the lines in dir, and more.
std::vector<std::string> receiverArgs(unsigned short port, const std::string& target,
                                      const testsupport::TempDir& dir,
                                      const std::vector<std::string>& more = {}) {
  std::vector<std::string> args{"--port", std::to_string(port), "--forward",
                                target,   "--output",           dir.file("copy.txt")};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// A run of udplog-recv forwarding to target (with more options) the lines that loghost sends it,
// stopped with SIGTERM once arrived() holds; its exit status and standard error.
struct ForwardRun {
  int status;
  std::string err;
};
ForwardRun forwarded(const std::string& target, const std::vector<std::string>& more,
                     const std::vector<std::string>& lines, const std::function<bool()>& arrived) {
  testsupport::TempDir dir;
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH, receiverArgs(port, target, dir, more));
  if (!testsupport::waitUntilListening(port, receiver)) return {-1, receiver.err()};
  writeLines(dir.file("a.log"), lines);
  EXPECT_EQ(0, runLoghost(port, dir.file("a.log")));
  EXPECT_TRUE(testsupport::waitFor(arrived)) << receiver.err();
  receiver.signal(SIGTERM);
  const int status = receiver.wait();
  return {status, receiver.err()};
}

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
  testsupport::LoopbackListener collector;
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH,
      receiverArgs(port, "tcp://" + collector.hostPort(), dir, {"--backlog", "10"}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  writeLines(dir.file("a.log"), makeLines("sender_a", 40));
  ASSERT_EQ(0, runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(dir.file("copy.txt")) >= 40; }))
      << receiver.err();

  ASSERT_TRUE(collector.listen(1));
  std::string received;
  std::thread reader([&] {
    const int connection = ::accept(collector.fd(), nullptr, nullptr);
    char buffer[65536];
    for (ssize_t n; (n = ::read(connection, buffer, sizeof(buffer))) > 0;)
      received.append(buffer, n);
    ::close(connection);
  });
  receiver.signal(SIGTERM);
  const int status = receiver.wait();
  reader.join();
  EXPECT_NE(std::string::npos, received.find("line 40 of sender_a")) << receiver.err();
  EXPECT_NE(std::string::npos, receiver.err().find("30 dropped from the full backlog, 0 not "
                                                   "delivered at the end"))
      << receiver.err();
  EXPECT_EQ(1, status) << receiver.err();
}

// The bounds as a user meets them with the real program: a target that drops the connection's
// packets is reported when --forward-timeout ends, not after the kernel's two minutes; a run that
// cannot begin (its port in use) ends without starting a forwarder.
TEST(ForwardBoundsTest, ABlackHoleIsReportedAtTheTimeOutAndAFailedStartConnectsNowhere) {
  testsupport::LoopbackListener hole;
  hole.fillQueue();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(freeUdpPort()), "--forward",
                         "tcp://127.0.0.1:" + std::to_string(hole.port()), "--forward-timeout", "1",
                         "--linger", "0"});
  EXPECT_TRUE(testsupport::waitFor([&] {
    return receiver.err().find("no connection within 1 s") != std::string::npos;
  })) << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  EXPECT_NE(std::string::npos,
            receiver.err().find("name lookups or connections ran out of --forward-timeout"))
      << receiver.err();

  testsupport::RelpTestPeer peer({});
  testsupport::UdpReceiver holder;
  std::string err;
  EXPECT_EQ(1,
            testsupport::run(UDPLOG_RECV_PATH,
                             {"--port", std::to_string(holder.port()), "--forward", peer.target()},
                             nullptr, &err));
  EXPECT_NE(std::string::npos, err.find("Address already in use")) << err;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(0, peer.connections()) << "a forwarder started for a run that could not begin";
}

// Over RELP: a window above the backlog is lowered to it with a warning, and a message over
// --max-line-bytes is refused before it is sent, counted, and fails the run; the others arrive.
TEST(ForwardBoundsTest, AWindowAboveTheBacklogIsLoweredAndAnOverlongLineIsRefusedHere) {
  testsupport::RelpTestPeer peer({});
  const ForwardRun run = forwarded(
      peer.target(), {"--relp-window", "2000", "--backlog", "1000", "--max-line-bytes", "1K"},
      makeLines("sender_a", 4),  // the second line is 120 KB long
      [&] { return peer.received().size() >= 3; });
  EXPECT_EQ(1, run.status) << run.err;
  const std::string& err = run.err;
  EXPECT_NE(std::string::npos,
            err.find("warning: --relp-window 2000 is more than --backlog 1000: the window is "
                     "1000 lines"))
      << err;
  EXPECT_NE(std::string::npos, err.find("over --max-line-bytes 1024 was refused")) << err;
  EXPECT_NE(std::string::npos, err.find("3 lines acknowledged by")) << err;
  EXPECT_NE(std::string::npos,
            err.find("; 1 refused (1 of them over --max-line-bytes, never sent), 0 sent again"))
      << err;
  EXPECT_EQ(3u, peer.received().size());
}

// A target that drops the connection on one line (imrelp's oversizeMode="abort" on a frame over
// its limit): the line is given up after it broke sessions, the others arrive, the run fails.
TEST(ForwardBoundsTest, ALineThatBreaksEverySessionIsGivenUpAndTheOthersFlow) {
  testsupport::RelpTestPeer::Behaviour aborting;
  aborting.abortContaining = "line 3 of";
  testsupport::RelpTestPeer peer(aborting);
  const ForwardRun run = forwarded(peer.target(), {"--linger", "30"}, makeLines("sender_a", 6),
                                   [&] { return peer.received().size() >= 5; });
  EXPECT_EQ(1, run.status) << run.err;
  const std::string& err = run.err;
  EXPECT_NE(std::string::npos, err.find("given up, counted as refused")) << err;
  EXPECT_NE(std::string::npos, err.find("5 lines acknowledged by")) << err;
  EXPECT_NE(std::string::npos, err.find("1 refused (1 of them given up)")) << err;
  EXPECT_NE(std::string::npos, err.find("0 unacknowledged at the end")) << err;
}

// What a target answers is read strictly and shown safely: an open answered without a code is
// said at once as such, 200 KB of control bytes become one escaped line, and a line answered
// "2000 odd" is refused, not acknowledged.
TEST(ForwardBoundsTest, ATargetsAnswersAreReadStrictlyAndShownSafely) {
  const std::string garbage = std::string("\x1b[2J\r\a") + '\0' + std::string(200000, 'x');
  for (const std::string& open : {std::string("OK\ncommands=syslog"), "500 " + garbage}) {
    testsupport::RelpTestPeer::Behaviour odd;
    odd.openAnswer = open;
    testsupport::RelpTestPeer peer(odd);
    testsupport::Subprocess receiver(
        UDPLOG_RECV_PATH, {"--port", std::to_string(freeUdpPort()), "--forward", peer.target(),
                           "--linger", "0", "--forward-timeout", "30"});
    ASSERT_TRUE(testsupport::waitFor([&] {
      return receiver.err().find("forward: ") != std::string::npos;
    })) << receiver.err();
    receiver.signal(SIGTERM);
    (void)receiver.wait();
    const std::string err = receiver.err();
    EXPECT_EQ(std::string::npos, err.find("no answer to the RELP open offer")) << err;
    EXPECT_EQ(std::string::npos, err.find('\x1b')) << "a control byte reached the terminal";
    EXPECT_LT(err.size(), 2000u);
    EXPECT_NE(std::string::npos,
              err.find(open[0] == 'O' ? "answered the RELP open offer without a code: 'OK'"
                                      : "refused the session: 500 '\\x1b[2J\\x0d\\x07\\x00x"))
        << err;
  }

  testsupport::RelpTestPeer::Behaviour oddCode;
  oddCode.lineAnswer = "2000 odd";
  testsupport::RelpTestPeer peer(oddCode);
  const ForwardRun run =
      forwarded(peer.target(), {}, {"2026-12-07 10:00:00\vT1\vINFO\vsrc\va line long enough\v-"},
                [&] { return peer.received().size() >= 1; });
  EXPECT_EQ(1, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("0 lines acknowledged by")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("refused a line: 2000 'odd'")) << run.err;
}

// A stop cuts the backoff short: a target back after an outage long enough for the backoff to
// reach 5 s gets the lines within a 3 s linger.
TEST(ForwardBoundsTest, AStopTriesAtOnceWhateverTheBackoff) {
  testsupport::TempDir dir;
  unsigned short targetPort = 0;
  {
    testsupport::RelpTestPeer probe({});  // a free port, closed again: the target is away
    targetPort = static_cast<unsigned short>(std::stoi(probe.target().substr(17)));
  }
  const unsigned short port = freeUdpPort();
  const std::string target = "relp://127.0.0.1:" + std::to_string(targetPort);
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   receiverArgs(port, target, dir, {"--linger", "3"}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  writeLines(dir.file("a.log"), makeLines("sender_a", 10));
  ASSERT_EQ(0, runLoghost(port, dir.file("a.log")));
  // 100 + 200 + 400 + 800 + 1600 + 3200 ms of attempts: the next one is 5 s off.
  std::this_thread::sleep_for(std::chrono::milliseconds(6500));
  testsupport::RelpTestPeer peer({}, targetPort);
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("10 lines acknowledged by " + target)) << err;
  EXPECT_EQ(10u, peer.received().size());
}

}  // namespace
