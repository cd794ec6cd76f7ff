#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/Subprocess.h"
#include "tests/support/UdpReceiver.h"

namespace {

void sendTo(unsigned short port, const std::string& datagram) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  ::close(fd);
}

TEST(UdplogRecvTest, WritesReassembledLinesAndReportsWhatWentWrong) {
  unsigned short port;
  {
    testsupport::UdpReceiver probe;
    port = probe.port();
  }
  testsupport::TempDir dir;
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--output", dir.file("lines.txt"),
                         "--count", "3", "--idle", "20"});
  // Wait until it listens: a probe datagram is reported as malformed once it is there.
  ASSERT_TRUE(testsupport::waitFor([&] {
    sendTo(port, "probe");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return receiver.err().find("malformed") != std::string::npos;
  }));
  sendTo(port, "1:1/1|first");
  sendTo(port, "2:2/2|" + std::string(10, 'z'));
  sendTo(port, "2:1/2|" + std::string(50000, 'y'));
  sendTo(port, "4:0/2|bad part");
  sendTo(port, "5:1/1|fifth\x0bwith a tab");
  EXPECT_EQ(0, receiver.wait());
  EXPECT_EQ("first\n" + std::string(50000, 'y') + std::string(10, 'z') + "\nfifth\x0bwith a tab\n",
            testsupport::readFile(dir.file("lines.txt")));
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("lost lines 3 to 4 (2)")) << err;
  EXPECT_NE(std::string::npos, err.find("malformed datagram of 14 bytes: part 0 of 2")) << err;
  EXPECT_NE(std::string::npos, err.find("3 lines, 2 lost")) << err;
}

TEST(UdplogRecvTest, StopsCleanlyOnSignalsAndExplainsItsUse) {
  std::string out, err;
  EXPECT_EQ(0, testsupport::run(UDPLOG_RECV_PATH, {"--help"}, &out));
  EXPECT_NE(std::string::npos, out.find("--listen ADDR")) << out;
  EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, {"--port", "0x10"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("bad port 0x10")) << err;
  EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, {"--listen", "localhost"}, &out, &err));

  unsigned short port;
  {
    testsupport::UdpReceiver probe;
    port = probe.port();
  }
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH, {"--port", std::to_string(port)});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait());
  EXPECT_NE(std::string::npos, receiver.err().find("0 lines")) << receiver.err();
}

}  // namespace
