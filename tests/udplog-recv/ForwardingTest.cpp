// udplog-recv between real loghost processes and a real rsyslogd: every line arrives once, in
// order per sender, with its bytes intact, also when the collector goes away and comes back.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/UdpReceiver.h"
#include "tests/udplog-recv/ForwardingSupport.h"
#include "tests/udplog-recv/RsyslogDaemon.h"

namespace {

using testsupport::countLines;
using testsupport::makeLines;
using testsupport::runLoghost;
using testsupport::writeLines;

TEST(ForwardingTest, TwoLoghostsReachRsyslogOnceInOrderAcrossACollectorRestart) {
  if (!testsupport::RsyslogDaemon::available()) {
    GTEST_SKIP() << "rsyslogd is not installed (Debian package rsyslog): nothing to forward to";
  }
  testsupport::TempDir dir;
  testsupport::RsyslogDaemon rsyslog(dir.str());
  ASSERT_TRUE(rsyslog.start()) << testsupport::readFile(dir.file("rsyslogd.out"));

  unsigned short port;
  {
    testsupport::UdpReceiver probe;
    port = probe.port();
  }
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--forward", rsyslog.target(), "--output",
                         dir.file("copy.txt")});
  const auto first = makeLines("sender_a", 40), second = makeLines("sender_b", 40);
  writeLines(dir.file("a.log"), first);
  writeLines(dir.file("b.log"), second);

  // Listening once a probe datagram is reported as malformed.
  ASSERT_TRUE(testsupport::waitUntilListening(port, receiver));

  // The first host while the collector is up.
  ASSERT_EQ(0, runLoghost(port, dir.file("a.log")));
  ASSERT_TRUE(testsupport::waitFor([&] { return countLines(rsyslog.output()) >= 40; }))
      << receiver.err();

  // The collector goes away; the second host's lines wait in the backlog.
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
  EXPECT_EQ(0, receiver.wait()) << receiver.err();

  EXPECT_TRUE(testsupport::eachSendersLines(rsyslog.output(), first, second)) << receiver.err();
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("80 lines, 0 lost")) << err;
  EXPECT_NE(std::string::npos, err.find("(IPv4, any sender); lines to " + dir.file("copy.txt") +
                                        " and " + rsyslog.target() + "; no metrics file\n"))
      << err;
  EXPECT_NE(std::string::npos, err.find("forwarded 80 lines to " + rsyslog.target() +
                                        " over 2 connections; 0 dropped from the full backlog, "
                                        "0 not delivered at the end"))
      << err;
}

}  // namespace
