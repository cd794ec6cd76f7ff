#include <gtest/gtest.h>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Datagram.h"
#include "platform/Terminal.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpReceiver.h"

namespace {

TEST(DatagramTest, SendsManyInOrderAndAFailedOneIsDroppedAlone) {
  testsupport::UdpReceiver receiver;
  boost::asio::io_service io;
  boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
  const auto handle = static_cast<Datagram::Socket>(socket.native_handle());
  boost::asio::ip::udp::endpoint to(boost::asio::ip::make_address("127.0.0.1"), receiver.port());

  // More than one system call takes, the third too large for any datagram: it alone fails, with
  // the system's error, and those after it still leave, in order.
  const std::size_t count = Datagram::kBatch + 5;
  const std::string tooLarge(70000, 'x');
  std::vector<std::string> heads;
  for (std::size_t i = 0; i < count; ++i) heads.push_back(std::to_string(i) + "|");
  std::vector<Datagram::Outgoing> datagrams;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& body = i == 2 ? tooLarge : heads[i];
    datagrams.push_back({heads[i].data(), heads[i].size(), body.data(), body.size()});
  }
  std::vector<std::error_code> errors(count, std::make_error_code(std::errc::io_error));
  Datagram::sendAll(handle, datagrams.data(), count, to.data(), to.size(), errors.data());
  for (std::size_t i = 0; i < count; ++i) {
    if (i == 2) {
      EXPECT_TRUE(errors[i]);
      EXPECT_NE("", errors[i].message());
      continue;
    }
    EXPECT_FALSE(errors[i]) << i << ": " << errors[i].message();
    EXPECT_EQ(heads[i] + heads[i], receiver.receive());
  }

  // Port 0 is no destination: every datagram fails with the system's error.
  boost::asio::ip::udp::endpoint nowhere(boost::asio::ip::make_address("127.0.0.1"), 0);
  Datagram::sendAll(handle, datagrams.data(), 2, nowhere.data(), nowhere.size(), errors.data());
  EXPECT_TRUE(errors[0]);
  EXPECT_TRUE(errors[1]);
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
