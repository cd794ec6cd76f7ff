#include "logger/media/UdpMedia.h"

#include <sys/socket.h>

#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <charconv>
#include <sstream>

#include "logger/host/ConfigurationManager.h"
#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"

namespace {

constexpr std::size_t kKeptBuffers = 4;

void appendNumber(std::string& out, std::uint64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof(digits), value);
  out.append(digits, result.ptr);
}

}  // namespace

UdpMedia::UdpMedia() : sequence(1) {
  ConfigurationManager& config =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  std::string ip;
  if (config.getValue(MediaKeys::kIp, ip) != 0) ip = MediaKeys::kDefaultIp;
  std::uint16_t port = MediaKeys::kDefaultPort;
  ConfigNumber::read(config, MediaKeys::kPort, port);

  boost::system::error_code error;
  boost::asio::ip::address address = boost::asio::ip::make_address(ip, error);
  if (error) throw boost::system::system_error(error, "TarvoLogger/Ip \"" + ip + "\"");

  socket.reset(new boost::asio::ip::udp::socket(ioService));
  // The socket's family follows the address, so that IPv6 destinations receive their datagrams.
  socket->open(address.is_v6() ? boost::asio::ip::udp::v6() : boost::asio::ip::udp::v4(), error);
  if (error) throw boost::system::system_error(error, "opening the UDP socket");
  destination = boost::asio::ip::udp::endpoint(address, port);
}

UdpMedia::~UdpMedia() {
  socket.reset();  // closes the socket before the I/O service goes
}

void UdpMedia::write(const std::string& line) {
  const std::size_t count = (line.size() + kMaxPayload - 1) / kMaxPayload;
  if (datagrams.size() < count) datagrams.resize(count);
  for (std::size_t part = 0; part < count; ++part) {
    std::string& datagram = datagrams[part];
    datagram.clear();
    appendNumber(datagram, sequence);
    datagram += ':';
    appendNumber(datagram, part + 1);
    datagram += '/';
    appendNumber(datagram, count);
    datagram += '|';
    datagram.append(line, part * kMaxPayload, kMaxPayload);
  }
  sequence = sequence == UINT32_MAX ? 1 : sequence + 1;

  // One synchronous send-to per datagram, straight on the socket: a datagram that cannot be sent
  // is dropped alone, and the rest of the line still goes. The failure is reported afterwards.
  const int fd = socket->native_handle();
  int firstError = 0;
  std::size_t dropped = 0;
  for (std::size_t part = 0; part < count; ++part) {
    if (::sendto(fd, datagrams[part].data(), datagrams[part].size(), 0, destination.data(),
                 static_cast<socklen_t>(destination.size())) < 0) {
      if (!firstError) firstError = errno;
      ++dropped;
    }
  }
  // Keep the storage of ordinary lines, not that of one giant line.
  if (datagrams.size() > kKeptBuffers) datagrams.resize(kKeptBuffers);
  if (dropped > 0) {
    std::ostringstream where;
    where << "sending to " << destination << " (" << dropped << " of " << count
          << " datagrams of the line dropped)";
    throw boost::system::system_error(
        boost::system::error_code(firstError, boost::system::system_category()), where.str());
  }
}

void UdpMedia::flush() {}

std::string UdpMedia::getRawData() { return MediaKeys::kUdpRawData; }
