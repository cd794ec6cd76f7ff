#include "logger/media/UdpMedia.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>
#include <charconv>
#include <cstring>
#include <sstream>

#include "logger/host/ConfigurationManager.h"
#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"
#include "platform/Datagram.h"

namespace {

// "<sequence>:<part>/<count>|": three numbers below 2^64 and three characters.
constexpr std::size_t kMaxHeader = 3 * 20 + 3;

char* putNumber(char* dest, std::uint64_t value) {
  return std::to_chars(dest, dest + 20, value).ptr;
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
  if (error) {
    // The type stays a system error, as callers expect; the text says what is wrong and the fix.
    throw boost::system::system_error(
        error, std::string(MediaKeys::kIp) + " \"" + ip +
                   "\" is not an IP address literal (names are not looked up; give one such as "
                   "127.0.0.1 or ::1)");
  }

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
  // Room for the line's largest datagram before the line takes its number: out of memory, the
  // line neither sends nor numbers anything, and nothing allocates between the sends.
  const std::size_t room = kMaxHeader + std::min(line.size(), kMaxPayload);
  if (datagram.size() < room) datagram.resize(room);
  const std::uint32_t number = sequence;
  sequence = sequence == UINT32_MAX ? 1 : sequence + 1;

  // One datagram at a time in the same storage, each with one synchronous send-to straight on the
  // socket: a datagram that cannot be sent is dropped alone, and the rest of the line still goes.
  // The failure is reported afterwards.
  const auto handle = static_cast<Datagram::Socket>(socket->native_handle());
  std::error_code firstError;
  std::size_t dropped = 0;
  for (std::size_t part = 0; part < count; ++part) {
    char* p = &datagram[0];
    p = putNumber(p, number);
    *p++ = ':';
    p = putNumber(p, part + 1);
    *p++ = '/';
    p = putNumber(p, count);
    *p++ = '|';
    const std::size_t offset = part * kMaxPayload;
    const std::size_t payload = std::min(line.size() - offset, kMaxPayload);
    std::memcpy(p, line.data() + offset, payload);
    const std::size_t size = static_cast<std::size_t>(p - datagram.data()) + payload;
    if (const std::error_code error =
            Datagram::send(handle, datagram.data(), size, destination.data(), destination.size())) {
      if (!firstError) firstError = error;
      ++dropped;
    }
  }
  if (dropped > 0) {
    ++lost;
    std::ostringstream where;
    where << "sending to " << destination << " (" << dropped << " of " << count
          << " datagrams of the line dropped)";
    throw boost::system::system_error(
        boost::system::error_code(firstError.value(), boost::system::system_category()),
        where.str());
  }
}

void UdpMedia::flush() {}

std::string UdpMedia::getRawData() { return MediaKeys::kUdpRawData; }
