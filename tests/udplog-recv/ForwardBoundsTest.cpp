// The bounds udplog-recv states for forwarding, held by the real program against small targets of
// the tests' own that misbehave: time-outs per address and per lookup, the threads a stuck name
// service can cost, the end against a flooding target, a lost answer, memory against a slow reader.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/UdpSender.h"
#include "tests/udplog-recv/ForwardingSupport.h"
#include "tests/udplog-recv/LoopbackListener.h"
#include "tests/udplog-recv/RelpTestPeer.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::freeUdpPort;
using testsupport::makeLines;
using testsupport::receiverArgs;
using testsupport::runLoghost;
using testsupport::writeLines;

// The program and arguments that run udplog-recv with args and the tests' own name service
// preloaded, under which two-homes.test and stuck.test resolve as ScriptedNames.cpp says.
struct Launch {
  std::string program;
  std::vector<std::string> args;
};
Launch withScriptedNames(const std::vector<std::string>& args) {
  Launch launch{
      "/usr/bin/env",
      {"LD_PRELOAD=" SCRIPTED_NAMES, "ASAN_OPTIONS=verify_asan_link_order=0", UDPLOG_RECV_PATH}};
  launch.args.insert(launch.args.end(), args.begin(), args.end());
  return launch;
}

// A run of udplog-recv forwarding to target (with more options) the lines that loghost sends it,
// stopped with SIGTERM once arrived() holds; its exit status and standard error.
struct ForwardRun {
  int status;
  std::string err;
};
ForwardRun forwarded(const std::string& target, const std::vector<std::string>& more,
                     const std::vector<std::string>& lines, const std::function<bool()>& arrived,
                     bool scriptedNames = false) {
  testsupport::TempDir dir;
  const unsigned short port = freeUdpPort();
  Launch launch{UDPLOG_RECV_PATH, receiverArgs(port, target, dir, more)};
  if (scriptedNames) launch = withScriptedNames(launch.args);
  testsupport::Subprocess receiver(launch.program, launch.args);
  if (!testsupport::waitUntilListening(port, receiver)) return {-1, receiver.err()};
  writeLines(dir.file("a.log"), lines);
  EXPECT_EQ(0, runLoghost(port, dir.file("a.log")));
  EXPECT_TRUE(testsupport::waitFor(arrived)) << receiver.err();
  receiver.signal(SIGTERM);
  const int status = receiver.wait();
  return {status, receiver.err()};
}

// A field of /proc/PID/status ("Threads", "VmRSS" in kB) of a running process.
long procStatus(long pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string row; std::getline(in, row);) {
    if (row.rfind(field + ":", 0) == 0) return std::stol(row.substr(field.size() + 1));
  }
  return -1;
}

// The bounds as a user meets them with the real program: a target that drops the connection's
// packets is reported when --forward-timeout ends, not after the kernel's two minutes; a run that
// cannot begin (its port in use) ends at once, without starting a forwarder.
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

  // A target that never answers the open would hold a forwarder's end for the whole time-out.
  testsupport::RelpTestPeer::Behaviour silent;
  silent.silentOpen = true;
  testsupport::RelpTestPeer peer(silent);
  testsupport::UdpReceiver holder;
  std::string err;
  const auto start = Clock::now();
  EXPECT_EQ(1, testsupport::run(UDPLOG_RECV_PATH,
                                {"--port", std::to_string(holder.port()), "--forward",
                                 peer.target(), "--forward-timeout", "30"},
                                nullptr, &err));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
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

// A name's addresses are tried in turn, each with the whole --forward-timeout: behind a first
// address that drops the connection's packets the second gets the lines, and the report names the
// address that failed.
TEST(ForwardBoundsTest, EachAddressOfANameHasItsOwnTimeOut) {
  for (const std::string scheme : {"tcp", "relp"}) {
    SCOPED_TRACE(scheme);
    testsupport::RelpTestPeer relpTarget({});
    testsupport::LoopbackListener tcpTarget;
    const unsigned short port =
        scheme == "tcp" ? tcpTarget.port()
                        : static_cast<unsigned short>(std::stoi(relpTarget.target().substr(17)));
    testsupport::LoopbackListener hole("127.0.0.2", port);
    hole.fillQueue();
    std::string tcpReceived;
    std::thread tcpReader;
    if (scheme == "tcp") {
      ASSERT_TRUE(tcpTarget.listen());
      tcpReader = std::thread([&] { tcpReceived = tcpTarget.readConnection(); });
    }
    const ForwardRun run = forwarded(
        scheme + "://two-homes.test:" + std::to_string(port), {"--forward-timeout", "2"},
        makeLines("sender_a", 6),
        [&] { return scheme == "tcp" ? true : relpTarget.received().size() >= 6; }, true);
    if (tcpReader.joinable()) tcpReader.join();
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos,
              run.err.find(": 127.0.0.2: no connection within 2 s (trying the next address)"))
        << run.err;
    if (scheme == "tcp") {
      EXPECT_NE(std::string::npos, tcpReceived.find("line 6 of sender_a")) << run.err;
    } else {
      EXPECT_NE(std::string::npos, run.err.find("6 lines acknowledged by")) << run.err;
    }
  }
}

// A name service that never answers: its lookup is reported at --forward-timeout like a failed
// connect, and the lookups after it wait for it rather than each starting a thread of its own.
TEST(ForwardBoundsTest, AStuckNameLookupIsReportedAndCostsOneThread) {
  for (const std::string scheme : {"tcp", "relp"}) {
    SCOPED_TRACE(scheme);
    const Launch launch = withScriptedNames({"--port", std::to_string(freeUdpPort()), "--forward",
                                             scheme + "://stuck.test:514", "--forward-timeout", "1",
                                             "--linger", "0"});
    testsupport::Subprocess receiver(launch.program, launch.args);
    EXPECT_TRUE(testsupport::waitFor([&] {
      return receiver.err().find("no answer from the name lookup of 'stuck.test' within 1 s") !=
             std::string::npos;
    })) << receiver.err();
    const long threads = procStatus(receiver.id(), "Threads");
    // Attempts after 0.1, 0.2, 0.4, 0.8 and 1.6 s of backoff, each a second long.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_EQ(threads, procStatus(receiver.id(), "Threads"));
    receiver.signal(SIGTERM);
    EXPECT_EQ(0, receiver.wait()) << receiver.err();
  }
}

// A target that answers a number never sent, as fast as we read, while lines wait for their
// answers: a status request is still answered and the stop still ends within --linger and
// --forward-timeout.
TEST(ForwardBoundsTest, AFloodOfAnswersToNoLineHoldsNeitherTheStatusNorTheEnd) {
  testsupport::RelpTestPeer::Behaviour flooding;
  flooding.floodAfter = 1000;
  testsupport::RelpTestPeer peer(flooding);
  testsupport::TempDir dir;
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH,
      receiverArgs(port, peer.target(), dir, {"--linger", "1", "--forward-timeout", "3"}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  writeLines(dir.file("a.log"), makeLines("sender_a", 1500));
  ASSERT_EQ(0, runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return peer.received().size() >= 1000; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  receiver.signal(SIGUSR1);
  EXPECT_TRUE(testsupport::waitFor([&] {
    return receiver.err().find("udplog-recv: status: ") != std::string::npos;
  })) << receiver.err();
  const auto stop = Clock::now();
  receiver.signal(SIGTERM);
  (void)receiver.wait();
  EXPECT_LT(Clock::now() - stop, std::chrono::seconds(1 + 3 + 4)) << receiver.err();
}

// One answer lost while the target answers every other line at once: the line goes again within
// about the time-out, while traffic still flows, not once it stops.
TEST(ForwardBoundsTest, ALostAnswerIsActedOnWithinTheTimeOutWhileOthersAreAnswered) {
  testsupport::RelpTestPeer::Behaviour losing;
  losing.skipContaining = "line 5|";
  testsupport::RelpTestPeer peer(losing);
  testsupport::TempDir dir;
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, receiverArgs(port, peer.target(), dir, {"--forward-timeout", "1"}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  testsupport::UdpSender sender(port);
  constexpr int kLines = 300;  // 50 a second
  for (int n = 1; n <= kLines; ++n) {
    sender.send(std::to_string(n) + ":1/1|line " + std::to_string(n) + "|");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(testsupport::waitFor([&] { return peer.received().size() > kLines; }));
  receiver.signal(SIGTERM);
  (void)receiver.wait();
  const std::vector<std::string> received = peer.received();
  std::vector<std::size_t> copies;  // where line 5 and line 150 arrived, in order
  for (std::size_t at = 0; at < received.size(); ++at) {
    if (received[at].find("line 5|") != std::string::npos ||
        received[at].find("line 150|") != std::string::npos) {
      copies.push_back(at);
    }
  }
  ASSERT_GE(copies.size(), 3u) << receiver.err();
  EXPECT_NE(std::string::npos, received[copies[1]].find("line 5|"))
      << "the lost answer was acted on only after line 150, 3 s later\n"
      << receiver.err();
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A target that reads slower than lines come: what udplog-recv holds stays within --backlog-bytes
// (a window's lines twice) however many bytes go through.
TEST(ForwardBoundsTest, MemoryStaysWithinTheBacklogAgainstASlowReader) {
  testsupport::RelpTestPeer::Behaviour slow;
  slow.bytesPerSecond = 4 << 20;
  testsupport::RelpTestPeer peer(slow);
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   {"--port", std::to_string(port), "--forward", peer.target(),
                                    "--backlog-bytes", "4M", "--linger", "0"});
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  const long before = procStatus(receiver.id(), "VmRSS");
  testsupport::UdpSender sender(port);
  const std::string line(20000, 'x');
  const auto end = Clock::now() + std::chrono::seconds(10);
  for (int n = 1; Clock::now() < end; ++n) {  // about 8 MB a second
    sender.send(std::to_string(n) + ":1/1|" + line);
    std::this_thread::sleep_for(std::chrono::microseconds(2500));
  }
  const long grown = procStatus(receiver.id(), "VmHWM") - before;
  receiver.signal(SIGTERM);
  (void)receiver.wait();
  // 4 MiB of lines, their frames, and the sockets' and allocator's own: far from what was read.
  EXPECT_GT(peer.bytesRead(), 30u << 20);
  EXPECT_LT(grown, 20 * 1024) << grown << " kB more\n" << receiver.err();
}
#endif

}  // namespace
