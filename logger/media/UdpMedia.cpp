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
#include "platform/ShownValue.h"

namespace {

char* putNumber(char* dest, std::uint64_t value) {
  return std::to_chars(dest, dest + 20, value).ptr;
}

}  // namespace

UdpMedia::UdpMedia() : destination(configuredDestination()), sequence(1) {
  boost::system::error_code error;
  socket.reset(new boost::asio::ip::udp::socket(ioService));
  // The socket's family follows the address, so that IPv6 destinations receive their datagrams.
  socket->open(destination.protocol(), error);
  if (error) throw boost::system::system_error(error, "opening the UDP socket");
}

boost::asio::ip::udp::endpoint UdpMedia::configuredDestination() {
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
        error, std::string(MediaKeys::kIp) + " " + shownValue(ip, '"') +
                   " is not an IP address literal (names are not looked up; give one such as "
                   "127.0.0.1 or ::1)");
  }
  return boost::asio::ip::udp::endpoint(address, port);
}

UdpMedia::~UdpMedia() {
  socket.reset();  // closes the socket before the I/O service goes
}

void UdpMedia::write(const std::string& line) {
  const std::string* one = &line;
  sendLines(&one, 1, [](const boost::system::system_error& error) { throw error; });
}

void UdpMedia::writeBurst(const std::vector<const std::string*>& lines, const LineFailed& failed) {
  sendLines(lines.data(), lines.size(),
            [&failed](const boost::system::system_error& error) { failed(error); });
}

void UdpMedia::sendLines(const std::string* const* lines, std::size_t count, const Failed& failed) {
  // The datagrams of many lines, a batch at a time: each is its header in heads and its payload,
  // copied behind the header when short, else where it lies in the line. A datagram that cannot be
  // sent is dropped alone, and the rest of its line and of the burst still go; each line that lost
  // a datagram is reported once all of its datagrams were tried.
  std::size_t pending = 0;
  Tally line;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& text = *lines[i];
    const std::size_t parts = (text.size() + kMaxPayload - 1) / kMaxPayload;
    const std::uint32_t number = sequence;
    sequence = sequence == UINT32_MAX ? 1 : sequence + 1;
    for (std::size_t part = 0; part < parts; ++part) {
      char* head = heads[pending].text;
      char* p = putNumber(head, number);
      *p++ = ':';
      p = putNumber(p, part + 1);
      *p++ = '/';
      p = putNumber(p, parts);
      *p++ = '|';
      const std::size_t offset = part * kMaxPayload;
      const std::size_t payload = std::min(text.size() - offset, kMaxPayload);
      const std::size_t headSize = static_cast<std::size_t>(p - head);
      if (payload <= kCopied) {
        // A short payload is copied behind its header: one piece is cheaper for the kernel.
        std::memcpy(p, text.data() + offset, payload);
        outgoing[pending] = {head, headSize + payload, nullptr, 0};
      } else {
        outgoing[pending] = {head, headSize, text.data() + offset, payload};
      }
      owners[pending] = {i, parts};
      if (++pending == Datagram::kBatch) {
        settle(pending, line, failed);
        pending = 0;
      }
    }
  }
  settle(pending, line, failed);
  if (line.dropped > 0) report(line, failed);
}

void UdpMedia::settle(std::size_t pending, Tally& line, const Failed& failed) {
  if (pending == 0) return;
  Datagram::sendAll(static_cast<Datagram::Socket>(socket->native_handle()), outgoing.data(),
                    pending, destination.data(), destination.size(), errors.data());
  for (std::size_t j = 0; j < pending; ++j) {
    if (owners[j].line != line.line) {
      // A line's datagrams come one after another: the one before is complete.
      if (line.dropped > 0) report(line, failed);
      line = Tally{owners[j].line, owners[j].parts, 0, std::error_code()};
    }
    if (errors[j]) {
      if (!line.firstError) line.firstError = errors[j];
      ++line.dropped;
    }
  }
}

void UdpMedia::report(const Tally& line, const Failed& failed) {
  ++lost;
  std::ostringstream where;
  where << "sending to " << destination << " (" << line.dropped << " of " << line.parts
        << " datagrams of the line dropped)";
  failed(boost::system::system_error(
      boost::system::error_code(line.firstError.value(), boost::system::system_category()),
      where.str()));
}

void UdpMedia::flush() {}

std::string UdpMedia::getRawData() { return MediaKeys::kUdpRawData; }
