// udplog-recv forwarding over RELP between real loghost processes and a real rsyslogd (imrelp):
// every line arrives once, in order per sender, bytes intact; a target killed mid-stream costs
// no line, and repeats only what it had not acknowledged; in TLS, a target whose certificate
// is not the expected one gets nothing, and one that never answers does not hold the end.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/UdpReceiver.h"
#include "tests/udplog-recv/ForwardingSupport.h"
#include "tests/udplog-recv/RsyslogDaemon.h"
#include "tests/udplog-recv/TestCertificates.h"
#include "udplog-recv/forward/RelpForwarder.h"

namespace {

using testsupport::bySender;
using testsupport::countLines;
using testsupport::freeUdpPort;
using testsupport::makeLines;
using testsupport::RsyslogDaemon;
using testsupport::writeLines;

constexpr int kWindow = 1024;  // RelpForwarder's default

// A number in udplog-recv's summary, the one just before what ("17 sent again").
std::uint64_t countBefore(const std::string& err, const std::string& what) {
  const std::size_t at = err.rfind(" " + what);
  if (at == std::string::npos) return UINT64_MAX;
  const std::size_t start = err.find_last_not_of("0123456789", at - 1) + 1;
  return std::stoull(err.substr(start, at - start));
}

class RelpForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RsyslogDaemon::relpAvailable()) {
      GTEST_SKIP() << "rsyslogd with imrelp is not installed (Debian packages rsyslog and "
                      "rsyslog-relp): nothing to forward to";
    }
  }

  std::vector<std::string> receiverArgs(unsigned short port, const std::string& target,
                                        std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--port", std::to_string(port), "--forward",
                                  target,   "--output",           dir.file("copy.txt")};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  // rsyslogd SIGKILLed twice while two loghosts' lines stream through udplog-recv (with more
  // options), and started again: every line udplog-recv received arrives, in order per sender,
  // and the only repeats are lines whose answer a kill took, each sent again at most once per
  // kill.
  void killTwiceMidStream(RsyslogDaemon& rsyslog, const std::vector<std::string>& more) {
    ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
    const unsigned short port = freeUdpPort();
    testsupport::Subprocess receiver(UDPLOG_RECV_PATH, receiverArgs(port, rsyslog.target(), more));
    ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));

    constexpr int kLines = 30000;
    writeLines(dir.file("a.log"), makeLines("sender_a", kLines));
    writeLines(dir.file("b.log"), makeLines("sender_b", kLines));
    testsupport::Subprocess a(LOGHOST, testsupport::loghostArgs(port, dir.file("a.log")));
    testsupport::Subprocess b(LOGHOST, testsupport::loghostArgs(port, dir.file("b.log")));

    // Killed while lines stream in: once it has written 3000 lines, then once it has written 1000
    // more than it held at the kill before (so on a session of its own, however fast the lines
    // came); back on the same port.
    std::size_t written = 0;
    for (int kill = 0; kill < 2; ++kill) {
      const std::size_t atLeast = kill == 0 ? 3000 : written + 1000;
      ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= atLeast; }))
          << receiver.err();
      rsyslog.kill();
      written = countLines(rsyslog.output());
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
    }
    ASSERT_EQ(0, a.wait());
    ASSERT_EQ(0, b.wait());
    // What udplog-recv received (UDP itself may lose lines under load) is what must arrive.
    ASSERT_TRUE(testsupport::waitFor(
        [&] { return countLines(rsyslog.output()) >= countLines(dir.file("copy.txt")); },
        std::chrono::seconds(60)))
        << receiver.err();
    receiver.signal(SIGTERM);
    EXPECT_EQ(0, receiver.wait()) << receiver.err();
    const std::string err = receiver.err();

    std::map<std::string, std::vector<std::string>> expected;
    {
      std::ifstream in(dir.file("copy.txt"), std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        expected[line.find("sender_a") != std::string::npos ? "a" : "b"].push_back(line);
      }
    }
    std::size_t duplicates = 0, received = 0;
    for (const auto& sender : bySender(rsyslog.output())) {
      // A repeat is one of the latest lines again, sent on the new session: dropping every line
      // seen before must leave each sender's lines once, in order.
      std::set<std::string> seen;
      std::vector<std::string> once;
      for (const auto& line : sender.second) {
        if (seen.insert(line).second) {
          once.push_back(line);
        } else {
          ++duplicates;
        }
      }
      received += sender.second.size();
      const auto& want = expected[once.front().find("sender_a") != std::string::npos ? "a" : "b"];
      EXPECT_TRUE(once == want) << "port " << sender.first << ": " << once.size() << " lines, "
                                << want.size() << " expected";
    }
    const std::uint64_t sentAgain = countBefore(err, "sent again");
    std::printf(
        "kill and restart: %zu lines received by udplog-recv, %zu written by rsyslog, %zu "
        "duplicates, %llu reported sent again\n",
        expected["a"].size() + expected["b"].size(), received, duplicates,
        static_cast<unsigned long long>(sentAgain));
    // "Sent again" counts lines, each once: a line unanswered on both broken sessions went on
    // three and may arrive three times.
    EXPECT_LE(duplicates, 2 * sentAgain) << err;
    EXPECT_LE(sentAgain, 2u * kWindow) << err;
    EXPECT_NE(std::string::npos, err.find(" over 3 sessions; ")) << err;
    EXPECT_NE(std::string::npos, err.find(" 0 dropped from the full backlog, 0 unacknowledged"))
        << err;
  }

  testsupport::TempDir dir;
};

TEST_F(RelpForwardingTest, TwoLoghostsReachRsyslogOnceInOrderAndEveryLineIsAcknowledged) {
  RsyslogDaemon rsyslog(dir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp);
  ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH,
      receiverArgs(port, rsyslog.target(), {"--metrics-file", dir.file("relp.prom")}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));

  const auto first = makeLines("sender_a", 1000), second = makeLines("sender_b", 1000);
  writeLines(dir.file("a.log"), first);
  writeLines(dir.file("b.log"), second);
  testsupport::Subprocess a(LOGHOST, testsupport::loghostArgs(port, dir.file("a.log")));
  testsupport::Subprocess b(LOGHOST, testsupport::loghostArgs(port, dir.file("b.log")));
  ASSERT_EQ(0, a.wait());
  ASSERT_EQ(0, b.wait());
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= 2000; }))
      << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();

  EXPECT_TRUE(testsupport::eachSendersLines(rsyslog.output(), first, second)) << receiver.err();
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("2000 lines, 0 lost")) << err;
  EXPECT_NE(std::string::npos,
            err.find("2000 lines acknowledged by " + rsyslog.target() +
                     " over 1 session; 0 refused, 0 sent again, 0 dropped from the full backlog, 0 "
                     "unacknowledged at the end"))
      << err;
  // Each metric once: a name written twice makes the whole file unreadable to Prometheus.
  std::set<std::string> names;
  std::istringstream metrics(testsupport::readFile(dir.file("relp.prom")));
  std::size_t types = 0;
  for (std::string line; std::getline(metrics, line);) {
    if (line.rfind("# TYPE ", 0) != 0) continue;
    ++types;
    EXPECT_TRUE(names.insert(line.substr(7, line.find(' ', 7) - 7)).second) << line;
  }
  EXPECT_TRUE(names.count("udplog_recv_lines_acknowledged_total") &&
              names.count("udplog_recv_lines_sent_again_total"))
      << types << " metrics";
}

TEST_F(RelpForwardingTest, ATargetKilledTwiceMidStreamLosesNothingAndRepeatsOnlyTheUnacknowledged) {
  RsyslogDaemon rsyslog(dir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp);
  killTwiceMidStream(rsyslog, {});
}

TEST_F(RelpForwardingTest, ATargetRestartedWhileIdleGetsTheNextLineBeforeTheEnd) {
  RsyslogDaemon rsyslog(dir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp);
  ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   receiverArgs(port, rsyslog.target(), {"--linger", "10"}));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  const auto lines = makeLines("sender_a", 11);
  writeLines(dir.file("a.log"), {lines.begin(), lines.end() - 1});
  writeLines(dir.file("b.log"), {lines.back()});
  ASSERT_EQ(0, testsupport::runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= 10; }))
      << receiver.err();

  // Killed and back while nothing flows; then one line, and the end at once.
  rsyslog.kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  ASSERT_EQ(0, testsupport::runLoghost(port, dir.file("b.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(dir.file("copy.txt")) >= 11; }))
      << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  // Two loghosts, so two senders: every line once, whichever sender comes first in the file.
  std::vector<std::string> received, expected = lines;
  for (const auto& sender : bySender(rsyslog.output())) {
    received.insert(received.end(), sender.second.begin(), sender.second.end());
  }
  std::sort(received.begin(), received.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, received) << receiver.err();
  EXPECT_NE(std::string::npos, receiver.err().find("11 lines acknowledged")) << receiver.err();
}

// The certificates of TestCertificates, made for each case.
class RelpTlsTest : public RelpForwardingTest {
 protected:
  void SetUp() override {
    RelpForwardingTest::SetUp();
    if (IsSkipped()) return;
    if (!testsupport::TestCertificates::available()) {
      GTEST_SKIP() << "certtool is not installed (Debian package gnutls-bin): no certificates";
    }
    certificates = std::make_unique<testsupport::TestCertificates>(dir.str());
    ASSERT_EQ("", certificates->error());
  }

  RsyslogDaemon::Tls collectorTls(const std::string& cert) {
    return {certificates->pem("ca"), certificates->pem(cert), certificates->key(cert),
            testsupport::TestCertificates::kClientName};
  }

  std::vector<std::string> tls(const std::string& ca, const std::string& peer) {
    return {"--tls-ca",  certificates->pem(ca),       "--tls-cert", certificates->pem("client"),
            "--tls-key", certificates->key("client"), "--tls-peer", peer};
  }
  // The target's certificate pinned instead: the SHA-256 fingerprint of the one named.
  std::vector<std::string> pinned(const std::string& cert) {
    return {"--tls-fingerprint", certificates->fingerprint(cert),
            "--tls-cert",        certificates->pem("client"),
            "--tls-key",         certificates->key("client")};
  }

  std::unique_ptr<testsupport::TestCertificates> certificates;
};

TEST_F(RelpTlsTest, LinesArriveOnlyAtTheTargetWithTheExpectedCertificate) {
  testsupport::TempDir goodDir, expiredDir;
  RsyslogDaemon good(goodDir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp,
                     collectorTls("server"));
  RsyslogDaemon expired(expiredDir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp,
                        collectorTls("expired"));
  ASSERT_TRUE(good.start()) << testsupport::readFile(goodDir.file("rsyslogd.out"));
  ASSERT_TRUE(expired.start()) << testsupport::readFile(expiredDir.file("rsyslogd.out"));
  const auto lines = makeLines("sender_a", 200);
  writeLines(dir.file("a.log"), lines);

  // Checked against the CA and the name, then pinned.
  std::size_t expected = 0;
  for (const auto& args : {tls("ca", "target.test"), pinned("server")}) {
    const unsigned short port = freeUdpPort();
    testsupport::Subprocess receiver(UDPLOG_RECV_PATH, receiverArgs(port, good.target(), args));
    ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
    ASSERT_EQ(0, testsupport::runLoghost(port, dir.file("a.log")));
    expected += lines.size();
    ASSERT_TRUE(testsupport::waitFor([&] { return countLines(good.output()) >= expected; }))
        << receiver.err();
    receiver.signal(SIGTERM);
    EXPECT_EQ(0, receiver.wait()) << receiver.err();
  }
  const auto senders = bySender(good.output());
  ASSERT_EQ(2u, senders.size());
  for (const auto& sender : senders) EXPECT_TRUE(sender.second == lines);

  // Refused at the handshake: the run ends at once with the cause, and nothing arrives.
  struct Refusal {
    const RsyslogDaemon& collector;
    std::vector<std::string> args;
    std::string cause;
  } refusals[] = {
      {good, tls("other", "target.test"), "issuer is unknown"},
      {good, tls("ca", "elsewhere.test"), "name in the certificate does not match"},
      {expired, tls("ca", "target.test"), "expired"},
      {good, pinned("expired"), "its fingerprint is SHA256:"},
      {expired, pinned("expired"), "the pinned certificate expired on 2020-02-01"},
  };
  for (const auto& refusal : refusals) {
    std::string err;
    const std::size_t before = countLines(refusal.collector.output());
    EXPECT_EQ(
        1, testsupport::run(UDPLOG_RECV_PATH,
                            receiverArgs(freeUdpPort(), refusal.collector.target(), refusal.args),
                            nullptr, &err));
    EXPECT_NE(std::string::npos, err.find("TLS: the target's certificate was refused")) << err;
    EXPECT_NE(std::string::npos, err.find(refusal.cause)) << err;
    EXPECT_EQ(before, countLines(refusal.collector.output()));
  }
  EXPECT_EQ(0u, countLines(expired.output()));
}

TEST_F(RelpTlsTest, ATargetKilledTwiceMidStreamLosesNothing) {
  RsyslogDaemon rsyslog(dir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp,
                        collectorTls("server"));
  killTwiceMidStream(rsyslog, tls("ca", "target.test"));
}

TEST_F(RelpTlsTest, ACaBundleWithAnExpiredRootBesideTheRealOneIsUsed) {
  RsyslogDaemon rsyslog(dir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp,
                        collectorTls("server"));
  ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));
  const std::string bundle = dir.file("bundle.pem");
  std::ofstream(bundle) << testsupport::readFile(certificates->pem("oldca"))
                        << testsupport::readFile(certificates->pem("ca"));
  std::vector<std::string> args = tls("ca", "target.test");
  args[1] = bundle;
  const unsigned short port = freeUdpPort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH, receiverArgs(port, rsyslog.target(), args));
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));
  const auto lines = makeLines("sender_a", 100);
  writeLines(dir.file("a.log"), lines);
  ASSERT_EQ(0, testsupport::runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= lines.size(); }))
      << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  EXPECT_EQ(lines, bySender(rsyslog.output()).begin()->second);
  EXPECT_NE(std::string::npos, receiver.err().find("the CA file " + bundle +
                                                   " holds 1 of 2 certificates that are expired "
                                                   "or not yet valid: they are left out"))
      << receiver.err();
}

// TLS cases that need certificates but no rsyslogd: they run wherever certtool does.
class RelpTlsSetUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::TestCertificates::available()) {
      GTEST_SKIP() << "certtool is not installed (Debian package gnutls-bin): no certificates";
    }
    certificates = std::make_unique<testsupport::TestCertificates>(dir.str());
    ASSERT_EQ("", certificates->error());
  }

  // udplog-recv's arguments with more; its target is never reached.
  std::vector<std::string> receiverArgs(const std::vector<std::string>& more) {
    std::vector<std::string> args{"--port",    std::to_string(freeUdpPort()),
                                  "--forward", "relp://127.0.0.1:9",
                                  "--output",  dir.file("copy.txt")};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::TestCertificates> certificates;
};

TEST_F(RelpTlsSetUpTest, TlsFilesThatCannotWorkAreRefusedBeforeAnythingStarts) {
  // Files that cannot work are refused before anything starts, naming the file: configuration
  // found wrong, exit status 2.
  struct FileCase {
    std::vector<std::string> args;
    std::string says;
  } files[] = {
      {{"--tls-ca", dir.file("missing.pem")}, "cannot read the CA file " + dir.file("missing.pem")},
      {{"--tls-ca", dir.file("oldca.pem")},
       "the CA file " + dir.file("oldca.pem") + " holds no certificate valid now"},
      {{"--tls-ca", dir.file("ca.pem"), "--tls-cert", dir.file("client.pem"), "--tls-key",
        dir.file("server.key")},
       "the key " + dir.file("server.key") + " does not belong to the certificate"},
      {{"--tls-ca", dir.file("ca.pem"), "--tls-cert", dir.file("expired.pem"), "--tls-key",
        dir.file("expired.key")},
       "the certificate " + dir.file("expired.pem") + " expired on 2020-02-01"},
  };
  for (const auto& file : files) {
    std::string err;
    EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, receiverArgs(file.args), nullptr, &err));
    EXPECT_NE(std::string::npos, err.find(file.says)) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }
}

// A real socket that the kernel connects and nobody serves. How long the end may take is held
// to the millisecond on a fake clock (RelpForwarderEndTest); here the end must come, with the
// line counted as never sent.
TEST_F(RelpTlsSetUpTest, ATargetThatTakesTheConnectionButNeverAnswersDoesNotHoldTheEnd) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), length));
  ASSERT_EQ(0, ::listen(listener, 16));
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  ForwardTarget target;
  ASSERT_TRUE(ForwardTarget::parse("relp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
                                   RelpForwarder::kScheme, target)
                  .ok());
  RelpForwarder::Limits limits;
  limits.timeoutSeconds = 1;
  RelpForwarder relp(target, {certificates->pem("ca"), "", "", "target.test", {}}, limits);
  relp.enqueue("127.0.0.1", 5000, "a line", std::chrono::system_clock::now());

  std::string reports;
  EXPECT_TRUE(testsupport::waitFor([&] {
    for (const auto& text : relp.takeReports()) reports += text + "\n";
    return reports.find("no answer to the TLS handshake within 1 s") != std::string::npos;
  })) << reports;
  auto ended = std::async(std::launch::async, [&] {
    relp.finish(RelpForwarder::Clock::now() + std::chrono::seconds(1));
  });
  EXPECT_EQ(std::future_status::ready, ended.wait_for(std::chrono::seconds(60)));
  ::close(listener);  // lets a handshake still waiting go, so that the test ends either way
  ended.wait();
  EXPECT_EQ(1u, relp.counts().unacknowledged);
  EXPECT_EQ(1u, relp.counts().neverSent);
  EXPECT_EQ(0u, relp.counts().sessions);
}

}  // namespace
