// A medium that sends every line as numbered UDP datagrams to "TarvoLogger/Ip":"TarvoLogger/Port".
//
// Each line takes the next sequence number (1 to 4294967295, then 1 again; an empty line uses one
// and sends nothing) and leaves as ceil(length / 50000) datagrams of the form
//   <sequence>:<part>/<count>|<up to 50000 bytes of the line>
// e.g. the seventh line, 120000 bytes long: "7:1/3|" bytes 0-49999, "7:2/3|" bytes 50000-99999,
// "7:3/3|" bytes 100000-119999. A failed send drops that datagram only; nothing is retried, and
// write() reports it with boost::system::system_error once the line's other datagrams are sent.
// The socket is opened for the address's family (IPv4 or IPv6), never bound or connected.
// The worker thread calls write() and flush(); getRawData() touches no member. The medium is the
// socket's only holder.
#pragma once

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>

#include "logger/core/IStorageMedia.h"

class UdpMedia final : public IStorageMedia {
 public:
  static constexpr std::size_t kMaxPayload = 50000;

  // Throws boost::system::system_error when the address text is no IP address or the socket
  // cannot be opened.
  UdpMedia();
  UdpMedia(const UdpMedia&) = delete;
  UdpMedia& operator=(const UdpMedia&) = delete;
  ~UdpMedia() override;

  void write(const std::string& line) override;
  void flush() override;
  std::string getRawData() override;
  // Lines of which at least one datagram could not be sent.
  std::uint64_t lostLines() override { return lost; }

  const boost::asio::ip::udp::endpoint& destinationEndpoint() const { return destination; }

 private:
  friend class UdpMediaTestPeer;  // sets the sequence number, to reach the wrap

  // Constant after construction
  boost::asio::ip::udp::endpoint destination;
  boost::asio::io_service ioService;
  boost::shared_ptr<boost::asio::ip::udp::socket> socket;

  // Worker thread only
  std::uint32_t sequence;
  std::string datagram;  // storage reused from datagram to datagram and line to line
  std::uint64_t lost = 0;
};
