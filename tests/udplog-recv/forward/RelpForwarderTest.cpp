// RelpForwarder against targets of the tests' own that misbehave as real ones do: each case
// holds the counts to the line, since every answer is matched to its line.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/udplog-recv/RelpTestPeer.h"
#include "tests/udplog-recv/TestCertificates.h"
#include "tests/udplog-recv/forward/ScriptedConnection.h"
#include "tests/udplog-recv/forward/TestResolvers.h"
#include "udplog-recv/forward/PollWait.h"
#include "udplog-recv/forward/RelpForwarder.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testsupport::ConnectionScript;
using testsupport::RelpTestPeer;

class RelpForwarderTest : public ::testing::Test {
 protected:
  std::unique_ptr<RelpForwarder> start(const RelpTestPeer& peer, RelpForwarder::Tls tls = {}) {
    ForwardTarget target;
    EXPECT_TRUE(ForwardTarget::parse(peer.target(), RelpForwarder::kScheme, target).ok());
    RelpForwarder::Limits limits;
    limits.timeoutSeconds = 1;
    return std::make_unique<RelpForwarder>(target, tls, limits);
  }

  // Lines "line 1 ." to "line count .", gap apart.
  static void send(RelpForwarder& relp, int count, std::chrono::milliseconds gap) {
    for (int n = 1; n <= count; ++n) {
      relp.enqueue("127.0.0.1", 5000, "line " + std::to_string(n) + " .",
                   std::chrono::system_clock::now());
      std::this_thread::sleep_for(gap);
    }
  }

  // The numbers of the lines the peer received, in order of receipt.
  static std::vector<int> numbers(const RelpTestPeer& peer) {
    std::vector<int> out;
    for (const std::string& message : peer.received()) {
      const std::size_t at = message.rfind("line ");
      out.push_back(at == std::string::npos ? -1 : std::stoi(message.substr(at + 5)));
    }
    return out;
  }

  static std::vector<int> oneTo(int count) {
    std::vector<int> out;
    for (int n = 1; n <= count; ++n) out.push_back(n);
    return out;
  }

  static std::string reportsOf(RelpForwarder& relp) {
    std::string text;
    for (const auto& line : relp.takeReports()) text += line + "\n";
    return text;
  }
};

TEST_F(RelpForwarderTest, ATargetThatClosesAfterEachAnswerStillGetsEveryLine) {
  RelpTestPeer::Behaviour closing;
  closing.closeAfterEachAnswer = true;
  RelpTestPeer peer(closing);
  auto relp = start(peer);
  send(*relp, 10, std::chrono::milliseconds(20));
  relp->finish(RelpForwarder::Clock::now() + std::chrono::seconds(20));

  // Every answer came before its close: nothing arrives twice. Lines written after the answer
  // that preceded a close went again on the next session, and the target took them there.
  EXPECT_EQ(oneTo(10), numbers(peer)) << reportsOf(*relp);
  const RelpForwarder::Counts counts = relp->counts();
  EXPECT_EQ(10u, counts.acknowledged);
  EXPECT_EQ(0u, counts.unacknowledged);
  EXPECT_EQ(10u, counts.sessions);
  EXPECT_TRUE(relp->status().ok()) << relp->status().cause();
}

TEST_F(RelpForwarderTest, ATargetSilentAfterFiveAnswersLeavesExactCounts) {
  RelpTestPeer::Behaviour silent;
  silent.answersBeforeSilence = 5;
  RelpTestPeer peer(silent);
  auto relp = start(peer);
  send(*relp, 20, std::chrono::milliseconds(0));
  ASSERT_TRUE(testsupport::waitFor([&] { return peer.received().size() >= 20; }));
  relp->finish(RelpForwarder::Clock::now() + std::chrono::seconds(3));

  const RelpForwarder::Counts counts = relp->counts();
  const std::string reports = reportsOf(*relp);
  EXPECT_EQ(5u, counts.acknowledged) << reports;
  EXPECT_EQ(15u, counts.unacknowledged);
  EXPECT_EQ(0u, counts.neverSent);
  // Each session after the first sent the same 15 unanswered lines again, in order; "sent
  // again" counts each of them once.
  ASSERT_GE(counts.sessions, 2u) << reports;
  EXPECT_EQ(15u, counts.sentAgain);
  const std::vector<int> got = numbers(peer);
  ASSERT_GE(got.size(), 35u) << reports;
  const std::vector<int> all = oneTo(20);
  EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 20), all);
  EXPECT_EQ(std::vector<int>(got.begin() + 20, got.begin() + 35),
            std::vector<int>(all.begin() + 5, all.end()));
  EXPECT_NE(std::string::npos, reports.find("no answer within 1 s")) << reports;
}

TEST_F(RelpForwarderTest, ALineAnsweredWithAnErrorIsRefusedCountedAndNotSentAgain) {
  RelpTestPeer::Behaviour refusing;
  refusing.refuseContaining = "line 4 ";
  RelpTestPeer peer(refusing);
  auto relp = start(peer);
  send(*relp, 10, std::chrono::milliseconds(0));
  relp->finish(RelpForwarder::Clock::now() + std::chrono::seconds(20));

  const std::string reports = reportsOf(*relp);
  EXPECT_EQ(oneTo(10), numbers(peer)) << reports;
  const RelpForwarder::Counts counts = relp->counts();
  EXPECT_EQ(9u, counts.acknowledged);
  EXPECT_EQ(1u, counts.refused);
  EXPECT_EQ(0u, counts.unacknowledged);
  EXPECT_EQ(1u, counts.sessions);
  EXPECT_NE(std::string::npos, reports.find("refused a line: 500 'not taken here'")) << reports;
  // The wire as RELP has it: the open offer, one syslog frame per line, the close.
  const std::string raw = peer.raw();
  EXPECT_EQ(0u, raw.rfind("1 open 56 relp_version=0\nrelp_software=udplog-recv\ncommands=syslog\n"
                          "2 syslog ",
                          0))
      << raw;
  EXPECT_NE(std::string::npos, raw.find(" - - line 1 .\n3 syslog ")) << raw;
  EXPECT_EQ(raw.size() - 12, raw.rfind("\n12 close 0\n")) << raw;
}

TEST_F(RelpForwarderTest, TlsHandshakesClosedByTheTargetAreRetried) {
  if (!testsupport::TestCertificates::available()) {
    GTEST_SKIP() << "certtool is not installed (Debian package gnutls-bin): no certificates";
  }
  testsupport::TempDir dir;
  testsupport::TestCertificates certificates(dir.str());
  ASSERT_EQ("", certificates.error());
  RelpTestPeer::Behaviour restarting;
  restarting.handshakesToDrop = 3;
  restarting.certFile = certificates.pem("server");
  restarting.keyFile = certificates.key("server");
  RelpTestPeer peer(restarting);
  auto relp = start(peer, {certificates.pem("ca"), "", "", "target.test", {}});
  send(*relp, 20, std::chrono::milliseconds(0));
  relp->finish(RelpForwarder::Clock::now() + std::chrono::seconds(20));

  const std::string reports = reportsOf(*relp);
  EXPECT_EQ(oneTo(20), numbers(peer)) << reports;
  EXPECT_EQ(20u, relp->counts().acknowledged);
  EXPECT_TRUE(relp->status().ok()) << relp->status().cause();
  EXPECT_EQ(4, peer.connections());
  EXPECT_NE(std::string::npos,
            reports.find("connected to " + peer.target() + " again after 3 failed attempts"))
      << reports;
}

// RelpForwarder's thread on a scripted target's fake clock. While holding is set, the thread's
// idle waits (the backoff) do not move the clock: they wait for a real wake (a stop, a line the
// window has room for, or release()), so that a test can set the scene before time goes on.
class RelpForwarderSeamTest : public ::testing::Test {
 protected:
  ~RelpForwarderSeamTest() override { ::close(releaseFd); }
  // Time goes on: the thread's idle wait ends, and those after it move the clock.
  void release() {
    holding = false;
    const std::uint64_t one = 1;
    (void)!::write(releaseFd, &one, sizeof(one));
  }

  std::unique_ptr<RelpForwarder> start(RelpForwarder::Limits limits, RelpForwarder::Tls tls = {},
                                       NameLookup::Resolver resolve = ::getaddrinfo,
                                       const std::string& host = "127.0.0.1") {
    RelpForwarder::Seam seam{
        [this] { return std::make_unique<testsupport::ScriptedConnection>(script); },
        [this] { return script.clock.now(); },
        [this](RelpForwarder::Clock::time_point until, int wakeFd) {
          if (!holding) {
            testsupport::fakeSleep(script.clock, until, wakeFd);
          } else if (!testsupport::wokenNow(wakeFd)) {
            (void)PollWait::until(releaseFd, POLLIN, RelpForwarder::Clock::time_point::max(),
                                  wakeFd);
          }
        },
        std::move(resolve)};
    return std::make_unique<RelpForwarder>(ForwardTarget{"relp://" + host + ":2514", host, "2514"},
                                           tls, limits, seam);
  }
  static std::string rsp(std::uint64_t txnr, const std::string& data) {
    std::string out;
    RelpFraming::frame(out, txnr, "rsp", data);
    return out;
  }
  static void line(RelpForwarder& relp, int n) {
    relp.enqueue("127.0.0.1", 5000, "line " + std::to_string(n) + " .",
                 std::chrono::system_clock::now());
  }

  ConnectionScript script;
  std::atomic<bool> holding{false};
  const int releaseFd = ::eventfd(0, EFD_CLOEXEC);
};

// RELP answers in order: a line whose answer is skipped while later lines are answered is lost,
// and the session is taken as broken one time-out after the first later answer, however long the
// later answers keep coming.
TEST_F(RelpForwarderSeamTest, ALineWhoseAnswerIsSkippedGoesAgainOneTimeOutAfterALaterAnswer) {
  script.connects.push_back(ForwardResult::transient("cannot connect: Connection refused"));
  script.reply = [this](std::uint64_t txnr, std::string_view command, std::string_view) {
    if (command == "open") return ConnectionScript::Reply{rsp(txnr, "200 OK\ncommands=syslog")};
    if (script.connections > 2) return ConnectionScript::Reply{rsp(txnr, "200 OK")};
    // The first session: line 1 (number 2) is never answered; lines 2 to 10 one a second.
    if (txnr == 2) return ConnectionScript::Reply{};
    return ConnectionScript::Reply{rsp(txnr, "200 OK"), seconds(txnr - 3)};
  };
  holding = true;
  RelpForwarder::Limits limits;
  limits.timeoutSeconds = 3;
  auto relp = start(limits);
  for (int n = 1; n <= 10; ++n) line(*relp, n);
  ASSERT_TRUE(testsupport::waitFor([&] { return script.connections >= 1; }));
  release();  // the ten lines go on one session
  ASSERT_TRUE(testsupport::waitFor([&] { return relp->counts().acknowledged == 10; }));
  relp->finish(script.clock.now() + seconds(5));

  ASSERT_GE(script.connectedAt.size(), 2u);
  const auto again = script.connectedAt[1] - script.connectedAt[0];
  EXPECT_LE(again, seconds(3) + milliseconds(100)) << "the time-out ran from the last answer";
  const std::string reports = [&] {
    std::string text;
    for (const auto& report : relp->takeReports()) text += report + "\n";
    return text;
  }();
  EXPECT_NE(std::string::npos,
            reports.find("no answer to a line within 3 s while later lines were answered"))
      << reports;
  EXPECT_EQ(0u, relp->counts().unacknowledged);
}

// A stop cuts the backoff short: the next attempt is made at once, not when the backoff would
// have made it (after the linger here). A line handed over after the end is counted.
TEST_F(RelpForwarderSeamTest, AStopTriesAtOnceAndALineAfterTheEndIsCounted) {
  script.connects.push_back(ForwardResult::transient("cannot connect: Connection refused"));
  script.reply = [](std::uint64_t txnr, std::string_view command, std::string_view) {
    return ConnectionScript::Reply{
        rsp(txnr, command == "open" ? "200 OK\ncommands=syslog" : "200 OK")};
  };
  holding = true;
  RelpForwarder::Limits limits;
  limits.firstBackoff = limits.maxBackoff = std::chrono::milliseconds(seconds(5));
  auto relp = start(limits);
  line(*relp, 1);
  ASSERT_TRUE(testsupport::waitFor([&] { return script.connections >= 1; }));
  holding = false;
  const auto stop = script.clock.now();
  relp->finish(stop + seconds(3));
  ASSERT_EQ(1u, script.connectedAt.size()) << "no attempt within the 3 s linger";
  EXPECT_EQ(stop, script.connectedAt[0]);
  EXPECT_EQ(1u, relp->counts().acknowledged);

  line(*relp, 2);
  const RelpForwarder::Counts counts = relp->counts();
  EXPECT_EQ(1u, counts.unacknowledged);
  EXPECT_EQ(1u, counts.neverSent);
}

// A target that drops the connection on one line (as imrelp does on a frame over its size limit):
// after 3 broken sessions the line goes alone, then it is given up and the others flow. Sessions
// that acknowledged nothing do not reset the backoff, and "sent again" counts lines.
TEST_F(RelpForwarderSeamTest, ALineTheTargetWillNotTakeIsGivenUpAfterItWentAlone) {
  script.connects.push_back(ForwardResult::transient("cannot connect: Connection refused"));
  script.reply = [](std::uint64_t txnr, std::string_view command, std::string_view data) {
    if (command == "open") return ConnectionScript::Reply{rsp(txnr, "200 OK\ncommands=syslog")};
    if (data.find("line 2 .") != std::string_view::npos)
      return ConnectionScript::Reply{"", {}, true};
    return ConnectionScript::Reply{rsp(txnr, "200 OK")};
  };
  holding = true;
  auto relp = start(RelpForwarder::Limits());
  for (int n = 1; n < 4; ++n) line(*relp, n);
  line(*relp, 4);
  ASSERT_TRUE(testsupport::waitFor([&] { return script.connections >= 1; }));
  release();
  ASSERT_TRUE(testsupport::waitFor([&] { return relp->counts().acknowledged == 3; }));
  relp->finish(script.clock.now() + seconds(5));

  const RelpForwarder::Counts counts = relp->counts();
  EXPECT_EQ(1u, counts.refused);
  EXPECT_EQ(1u, counts.givenUp);
  EXPECT_EQ(0u, counts.unacknowledged);
  EXPECT_EQ(3u, counts.sentAgain) << "lines 2, 3 and 4, each once";
  // Sessions 2 to 4 each broke on line 2 having taken nothing: the backoff grows.
  ASSERT_EQ(5u, script.connectedAt.size());
  std::vector<milliseconds> gaps;
  for (std::size_t i = 1; i < 5; ++i) {
    gaps.push_back(std::chrono::duration_cast<milliseconds>(script.connectedAt[i] -
                                                            script.connectedAt[i - 1]));
  }
  EXPECT_EQ((std::vector<milliseconds>{milliseconds(100), milliseconds(200), milliseconds(400),
                                       milliseconds(800)}),
            gaps);
  // The fourth session carried line 2 alone.
  std::vector<std::size_t> opens;
  for (std::size_t at = script.written.find("1 open "); at != std::string::npos;
       at = script.written.find("1 open ", at + 1)) {
    opens.push_back(at);
  }
  ASSERT_EQ(5u, opens.size());
  const std::string fourth = script.written.substr(opens[3], opens[4] - opens[3]);
  EXPECT_NE(std::string::npos, fourth.find("line 2 .")) << fourth;
  EXPECT_EQ(std::string::npos, fourth.find("line 3 .")) << fourth;
  std::string reports;
  for (const auto& report : relp->takeReports()) reports += report + "\n";
  EXPECT_NE(std::string::npos, reports.find("given up, counted as refused")) << reports;
}

// A name's addresses are tried in turn, each with the whole time-out for its connection and its
// open; the report names the address that failed. A resolver that never answers is reported at
// the time-out and waited for at the next attempts, not asked again.
TEST_F(RelpForwarderSeamTest, EachAddressHasTheWholeTimeOutAndOneLookupRunsAtATime) {
  script.reply = [](std::uint64_t txnr, std::string_view command, std::string_view) {
    return ConnectionScript::Reply{
        rsp(txnr, command == "open" ? "200 OK\ncommands=syslog" : "200 OK")};
  };
  script.blackHole = [](const NameLookup::Address& address) {
    return NameLookup::text(address) == "127.0.0.2";
  };
  RelpForwarder::Limits limits;
  limits.timeoutSeconds = 3;
  auto relp = start(limits, {}, testsupport::resolvesTo({"127.0.0.2", "127.0.0.1"}), "two.test");
  line(*relp, 1);
  ASSERT_TRUE(testsupport::waitFor([&] { return relp->counts().acknowledged == 1; }));
  relp->finish(script.clock.now() + seconds(5));
  ASSERT_EQ(2u, script.attemptsAt.size());
  EXPECT_EQ(script.attemptsAt[0] + seconds(3), script.attemptsAt[1]) << "the first had its 3 s";
  ASSERT_EQ(1u, script.connectedAt.size());
  EXPECT_EQ(script.attemptsAt[1], script.connectedAt[0]) << "and the second its own";

  script.blackHole = [](const NameLookup::Address&) { return true; };
  auto nowhere = start(limits, {}, testsupport::resolvesTo({"127.0.0.2", "127.0.0.1"}), "two.test");
  line(*nowhere, 1);
  const auto from = script.clock.now();
  ASSERT_TRUE(testsupport::waitFor([&] { return script.clock.now() - from > seconds(20); }));
  nowhere->finish(script.clock.now());
  std::string reports;
  for (const auto& report : nowhere->takeReports()) reports += report + "\n";
  EXPECT_NE(std::string::npos, reports.find("127.0.0.1: no connection within 3 s")) << reports;

  testsupport::HeldResolver held;
  {
    script.blackHole = nullptr;
    auto stuck = start(limits, {}, held.resolver(), "stuck.test");
    line(*stuck, 1);
    const auto since = script.clock.now();
    ASSERT_TRUE(testsupport::waitFor([&] { return script.clock.now() - since > seconds(15); }));
    EXPECT_EQ(1, held.calls()) << "a lookup was begun again while one still ran";
    stuck->finish(script.clock.now());
    std::string said;
    for (const auto& report : stuck->takeReports()) said += report + "\n";
    EXPECT_NE(std::string::npos,
              said.find("no answer from the name lookup of 'stuck.test' within 3 s"))
        << said;
  }
  held.release();
  ASSERT_TRUE(testsupport::waitFor([&] { return held.done() == 1; }));
}

// The end against targets that take the connection and then never answer one step, on the
// scripted target's fake clock: finish(deadline) returns by deadline + the time-out, whatever the
// step, and the line is counted as it stands.
TEST(RelpForwarderEndTest, ATargetThatNeverAnswersHoldsTheEndNoLongerThanTheTimeOut) {
  testsupport::TempDir dir;
  std::unique_ptr<testsupport::TestCertificates> certificates;
  if (testsupport::TestCertificates::available()) {
    certificates = std::make_unique<testsupport::TestCertificates>(dir.str());
    ASSERT_EQ("", certificates->error());
  }
  struct Case {
    const char* silentAt;  // the step the target never answers
    bool tls;
    std::uint64_t neverSent;  // of the one line, at the end: the target never took a frame
  };
  for (const Case& c : {Case{"handshake", true, 1}, Case{"open", false, 1},
                        Case{"syslog", false, 0}, Case{"close", false, 0}}) {
    if (c.tls && !certificates) continue;  // certtool is missing: the plain cases still run
    ConnectionScript script;
    const std::string silentAt = c.silentAt;
    script.reply = [silentAt](std::uint64_t txnr, std::string_view command, std::string_view) {
      if (command == silentAt) return ConnectionScript::Reply{};
      std::string answer;
      RelpFraming::frame(answer, txnr, "rsp",
                         command == "open" ? "200 OK\ncommands=syslog" : "200 OK");
      return ConnectionScript::Reply{answer};
    };
    RelpForwarder::Tls tls;
    if (c.tls) tls = {certificates->pem("ca"), "", "", "target.test", {}};
    RelpForwarder::Limits limits;
    limits.timeoutSeconds = 3;
    RelpForwarder::Seam seam{
        [&script] { return std::make_unique<testsupport::ScriptedConnection>(script); },
        [&script] { return script.clock.now(); },
        [&script](RelpForwarder::Clock::time_point until, int wakeFd) {
          testsupport::fakeSleep(script.clock, until, wakeFd);
        }};
    script.clock.hold(true);
    RelpForwarder relp(ForwardTarget{"relp://127.0.0.1:2514", "127.0.0.1", "2514"}, tls, limits,
                       seam);
    relp.enqueue("127.0.0.1", 5000, "a line", std::chrono::system_clock::now());
    // The clock stands from the deadline's reading until finish() has it (the thread would
    // otherwise run on through attempts meanwhile, and the deadline be long past).
    const auto deadline = script.clock.now() + seconds(1);
    auto ended = std::async(std::launch::async, [&] { relp.finish(deadline); });
    std::this_thread::sleep_for(milliseconds(50));
    script.clock.hold(false);
    ended.wait();

    const auto over = std::chrono::duration_cast<milliseconds>(script.clock.now() - deadline);
    EXPECT_LE(over, milliseconds(seconds(limits.timeoutSeconds))) << c.silentAt;
    // The line is counted once, as it stands. A target silent on lines may have broken enough
    // sessions on the fake clock before the stop for the line to be given up (refused).
    const RelpForwarder::Counts counts = relp.counts();
    EXPECT_EQ(1u, counts.acknowledged + counts.refused + counts.unacknowledged) << c.silentAt;
    if (silentAt == "close") {
      EXPECT_EQ(1u, counts.acknowledged);
    }
    if (c.neverSent > 0) {
      EXPECT_EQ(1u, counts.unacknowledged) << c.silentAt;
      EXPECT_EQ(1u, counts.neverSent) << c.silentAt;
    }
    EXPECT_GE(script.connections, 1) << c.silentAt;
  }
}

}  // namespace
