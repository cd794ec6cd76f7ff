// The receiver's table of sender streams: one LineAssembler per sender (address and port), so
// that every sender's numbering, gaps, late lines and time-outs are its own. Memory stays bounded
// however many senders there are (see Limits). Closed streams keep a summary row; past kMaxRows
// they are added up in one row. Not thread-safe: one receiving thread owns it.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "udplog-recv/reassembly/LineAssembler.h"
#include "udplog-recv/reassembly/SenderTable.h"

class SenderStreams final {
 public:
  struct Sink {
    virtual ~Sink() {}
    // A delivered line; host is the sender's address as text ("127.0.0.1", "::1"). text is valid
    // during the call; copy it to keep it.
    virtual void line(const std::string& host, unsigned port, std::uint32_t sequence,
                      std::string_view text) = 0;
    // One event, prefixed with the stream's name ("127.0.0.1:40000: lost line 7").
    virtual void report(const std::string& text) = 0;
  };

  // At most maxStreams are open at once: a new sender beyond that closes the stream heard from
  // longest ago (its incomplete lines are counted, its counts kept in the totals). The bytes of
  // incomplete lines are bounded twice: per sender address, all its ports together
  // (maxSenderBytes, so that one host flooding first parts cannot take the memory the others
  // need), and over all streams (maxPendingBytes). Past either bound the oldest line of the
  // address over its share, or of the address holding most, is dropped and counted incomplete in
  // its own stream; no other sender's line is touched.
  struct Limits {
    LineAssembler::Limits line;  // per stream
    std::size_t maxStreams = 1024;
    std::size_t maxPendingBytes = 256u << 20;  // over all streams
    std::size_t maxSenderBytes = 32u << 20;    // over the streams of one address
  };

  struct Row {
    std::string name;
    LineAssembler::Counts counts;
  };

  static constexpr std::size_t kMaxRows = 1000;

  SenderStreams(Sink& sink, Limits limits);
  ~SenderStreams();
  SenderStreams(const SenderStreams&) = delete;
  SenderStreams& operator=(const SenderStreams&) = delete;

  // A sender that starts over (LineAssembler::startsOver) gets a fresh stream; the old one is
  // closed.
  void accept(const sockaddr* from, socklen_t length, const Datagram& datagram,
              LineAssembler::Clock::time_point now);
  void expire(LineAssembler::Clock::time_point now);
  // Closes every stream, reporting its incomplete lines; the table is empty afterwards.
  void finish();

  // Counts over every stream, open or closed.
  LineAssembler::Counts totals() const;
  std::uint64_t streamsOpened() const { return opened; }
  std::size_t streamsOpen() const { return streams.size(); }
  std::uint64_t streamsEvicted() const { return evicted; }
  // One row per closed stream in the order they were opened (after finish(): every stream), the
  // last one adding up the streams past kMaxRows.
  const std::vector<Row>& rows() const { return entries; }

  // "127.0.0.1:40000", "[::1]:40000"; an IPv4-mapped IPv6 address is shown as IPv4.
  static std::string describe(const sockaddr* address, socklen_t length, std::string* host,
                              unsigned* port);

 private:
  struct Stream;
  using Table = SenderTable<Stream>;
  using Key = Table::Key;
  // The streams of one sender address and the bytes they hold.
  struct Host {
    std::size_t pendingBytes = 0;
    std::vector<Stream*> streams;
  };
  using Address = std::array<unsigned char, 16>;
  struct AddressHash {
    std::size_t operator()(const Address& address) const;
  };

  static Key keyOf(const sockaddr* address, socklen_t length);
  Stream& open(const Key& key, const sockaddr* from, socklen_t length, unsigned generation);
  void close(Stream& stream, const std::string& why);
  // Keeps the held bytes within the bounds after stream's assembler held before.
  void bound(Stream& stream, std::size_t before);
  void boundPendingBytes();
  // Brings the held bytes in line after stream's assembler held before.
  void settle(Stream& stream, std::size_t before);
  // Drops the oldest line among the host's streams; false when none waits.
  bool dropOldestOf(Host& host, const std::string& why);

  Sink& sink;
  const Limits limits;
  // Line buffers kept for reuse, shared by every stream's assembler; outlives them.
  LineAssembler::Spares spares;
  Table streams;
  std::unordered_map<Address, Host, AddressHash> hosts;  // of the open streams
  Stream* last = nullptr;  // the stream of the previous datagram, to skip the lookup
  Key lastKey;
  std::size_t pendingBytes = 0;
  std::uint64_t opened = 0;
  std::uint64_t evicted = 0;
  LineAssembler::Counts closedTotals;
  std::vector<Row> entries;
};
