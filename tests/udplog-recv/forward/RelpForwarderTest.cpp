// RelpForwarder against targets of the tests' own that misbehave as real ones do: each case
// holds the counts to the line, since every answer is matched to its line.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/udplog-recv/RelpTestPeer.h"
#include "tests/udplog-recv/TestCertificates.h"
#include "udplog-recv/forward/RelpForwarder.h"

namespace {

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

TEST_F(RelpForwarderTest, ACollectorThatClosesAfterEachAnswerStillGetsEveryLine) {
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

TEST_F(RelpForwarderTest, ACollectorSilentAfterFiveAnswersLeavesExactCounts) {
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
  // Each session after the first sent the same 15 unanswered lines again, in order.
  ASSERT_GE(counts.sessions, 2u) << reports;
  EXPECT_EQ(15u * (counts.sessions - 1), counts.sentAgain);
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
}

TEST_F(RelpForwarderTest, TlsHandshakesClosedByTheCollectorAreRetried) {
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
  auto relp = start(peer, {certificates.pem("ca"), "", "", "collector.test", {}});
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

}  // namespace
