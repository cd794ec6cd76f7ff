// A medium that sends every line as numbered UDP datagrams to "TarvoLogger/Ip":"TarvoLogger/Port",
// e.g. the seventh line, 120000 bytes long, as "7:1/3|" bytes 0-49999, "7:2/3|" bytes 50000-99999
// and "7:3/3|" bytes 100000-119999. The worker thread calls write(), writeBurst() and flush();
// getRawData() touches no member. The medium is the socket's only holder.
#pragma once

#include <array>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/system_error.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "logger/core/IStorageMedia.h"
#include "platform/Datagram.h"

class UdpMedia final : public IStorageMedia {
 public:
  static constexpr std::size_t kMaxPayload = 50000;

  // Throws boost::system::system_error when the address text is no IP address or the socket
  // cannot be opened.
  UdpMedia();
  UdpMedia(const UdpMedia&) = delete;
  UdpMedia& operator=(const UdpMedia&) = delete;
  ~UdpMedia() override;

  // Each line takes the next sequence number (1 to 4294967295, then 1 again; an empty line uses
  // one and sends nothing) and leaves as ceil(length / kMaxPayload) datagrams of the form
  //   <sequence>:<part>/<count>|<up to kMaxPayload bytes of the line>
  // on a socket of the address's family, never bound or connected. Sends the line's datagrams. A
  // failed send drops that datagram only; nothing is retried. When one was dropped, throws
  // boost::system::system_error once the line's other datagrams are sent.
  void write(const std::string& line) override;
  // Sends the lines' datagrams in order, Datagram::kBatch to a system call; each line that lost
  // a datagram goes to failed() with the same error write() would throw.
  void writeBurst(const std::vector<const std::string*>& lines, const LineFailed& failed) override;
  void flush() override;
  std::string getRawData() override;
  // Lines of which at least one datagram could not be sent.
  std::uint64_t lostLines() override { return lost; }

  const boost::asio::ip::udp::endpoint& destinationEndpoint() const { return destination; }

 private:
  friend class UdpMediaTestPeer;  // sets the sequence number, to reach the wrap

  // Payloads up to this size are copied behind their header.
  static constexpr std::size_t kCopied = 512;
  // "<sequence>:<part>/<count>|" (three numbers below 2^64 and three characters), then room for a
  // copied payload.
  struct Header {
    char text[3 * 20 + 3 + kCopied];
  };
  // Which line of the call a datagram belongs to, and how many datagrams that line has.
  struct Owner {
    std::size_t line;
    std::size_t parts;
  };
  // The line whose datagrams are being sent, and what it lost so far.
  struct Tally {
    std::size_t line = SIZE_MAX;
    std::size_t parts = 0;
    std::size_t dropped = 0;
    std::error_code firstError;
  };
  using Failed = std::function<void(const boost::system::system_error&)>;

  void sendLines(const std::string* const* lines, std::size_t count, const Failed& failed);
  // Sends the first pending datagrams and adds their outcome to the lines they belong to,
  // reporting each line that is complete and lost one.
  void settle(std::size_t pending, Tally& line, const Failed& failed);
  void report(const Tally& line, const Failed& failed);

  // The configured address and port; throws boost::system::system_error for an address that is no
  // IP address literal.
  static boost::asio::ip::udp::endpoint configuredDestination();

  // Constant after construction
  const boost::asio::ip::udp::endpoint destination;
  boost::asio::io_service ioService;
  boost::shared_ptr<boost::asio::ip::udp::socket> socket;

  // Worker thread only
  std::uint32_t sequence;
  // One batch of datagrams, reused from batch to batch: nothing allocates while sending.
  std::array<Header, Datagram::kBatch> heads;
  std::array<Datagram::Outgoing, Datagram::kBatch> outgoing;
  std::array<Owner, Datagram::kBatch> owners;
  std::array<std::error_code, Datagram::kBatch> errors;
  std::uint64_t lost = 0;
};
