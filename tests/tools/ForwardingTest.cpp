// udplog-recv between real loghost processes and a real rsyslogd: every line arrives once, in
// order per sender, with its bytes intact, also when the collector goes away and comes back.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/support/UdpReceiver.h"
#include "tests/tools/RsyslogDaemon.h"

namespace {

// Lines of six vertical-tab fields, one of them 120 000 bytes long (three datagrams).
std::vector<std::string> makeLines(const std::string& source, int count) {
  std::vector<std::string> lines;
  for (int n = 1; n <= count; ++n) {
    std::string message = "line " + std::to_string(n) + " of " + source;
    if (n == count / 2) message += " " + std::string(120000, 'x');
    lines.push_back("2026-12-07 10:00:00\vT1\v" + std::string(n % 7 ? "INFO" : "ERROR") + "\v" +
                    source + "\v" + message + "\vseq=" + std::to_string(n));
  }
  return lines;
}

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary);
  for (const auto& line : lines) out << line << '\n';
}

std::size_t countLines(const std::string& path) {
  const std::string text = testsupport::readFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The collector's file as one list of messages per PROCID (the sender's port).
std::map<std::string, std::vector<std::string>> bySender(const std::string& path) {
  std::map<std::string, std::vector<std::string>> senders;
  std::ifstream in(path, std::ios::binary);
  std::string row;
  while (std::getline(in, row)) {
    const std::size_t space = row.find(' ');
    senders[row.substr(0, space)].push_back(row.substr(space + 1));
  }
  return senders;
}

int runLoghost(unsigned short port, const std::string& input) {
  return testsupport::run(
      LOGHOST, {"-P", "TarvoLogger/StorageFormat=udp", "-P", "TarvoLogger/Ip=127.0.0.1", "-P",
                "TarvoLogger/Port=" + std::to_string(port), input});
}

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
  ASSERT_TRUE(testsupport::waitFor([&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(fd, "probe", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return receiver.err().find("malformed") != std::string::npos;
  }));

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

  const auto senders = bySender(rsyslog.output());
  ASSERT_EQ(2u, senders.size()) << receiver.err();
  for (const auto& sender : senders) {
    const auto& expected =
        sender.second.front().find("sender_a") != std::string::npos ? first : second;
    EXPECT_TRUE(sender.second == expected) << "lines of port " << sender.first << " differ";
  }
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("80 lines, 0 lost")) << err;
  EXPECT_NE(std::string::npos, err.find("forwarded 80 lines to " + rsyslog.target() +
                                        " over 2 connections; 0 dropped from the full backlog, "
                                        "0 not delivered at the end"))
      << err;
}

}  // namespace
