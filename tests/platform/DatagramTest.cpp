#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstdio>

#include "platform/Datagram.h"
#include "platform/Terminal.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpReceiver.h"

namespace {

TEST(DatagramTest, SendsOnTheNativeSocketAndReportsTheSystemsError) {
  testsupport::UdpReceiver receiver;
  boost::asio::io_service io;
  boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
  const auto handle = static_cast<Datagram::Socket>(socket.native_handle());

  boost::asio::ip::udp::endpoint to(boost::asio::ip::make_address("127.0.0.1"), receiver.port());
  EXPECT_FALSE(Datagram::send(handle, "7:1/1|x", 7, to.data(), to.size()));
  EXPECT_EQ("7:1/1|x", receiver.receive());

  // Port 0 is no destination: the error is the system's, with its text.
  boost::asio::ip::udp::endpoint nowhere(boost::asio::ip::make_address("127.0.0.1"), 0);
  const std::error_code error = Datagram::send(handle, "x", 1, nowhere.data(), nowhere.size());
  EXPECT_TRUE(error);
  EXPECT_NE("", error.message());
}

TEST(TerminalTest, FilesAndTheNullDeviceAreNoTerminals) {
  testsupport::TempDir dir;
  std::FILE* file = std::fopen(dir.file("plain").c_str(), "wb");
  ASSERT_NE(nullptr, file);
  EXPECT_FALSE(Terminal::isTerminal(file));
  std::fclose(file);
  // The C library of Windows calls its NUL device a terminal; no progress display must go there.
#ifdef _WIN32
  std::FILE* null = std::fopen("NUL", "wb");
#else
  std::FILE* null = std::fopen("/dev/null", "wb");
#endif
  ASSERT_NE(nullptr, null);
  EXPECT_FALSE(Terminal::isTerminal(null));
  std::fclose(null);
}

}  // namespace
