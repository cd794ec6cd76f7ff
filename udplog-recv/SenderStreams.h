// The receiver's table of sender streams: one LineAssembler per sender (address and port), so
// that every sender's numbering, gaps, late lines and time-outs are its own.
//
// A sender that starts over (LineAssembler::startsOver) gets a fresh stream; the old one is
// closed. At most maxStreams are open at once: a new sender beyond that closes the stream heard
// from longest ago (its incomplete lines are counted, its counts kept in the totals), so memory
// stays bounded however many senders there are. The pending bytes of all streams together are
// bounded too. Closed streams keep a summary row; past kMaxRows they are added up in one row.
// Not thread-safe: one receiving thread owns it.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "udplog-recv/LineAssembler.h"

class SenderStreams final {
 public:
  struct Sink {
    virtual ~Sink() {}
    // A delivered line; host is the sender's address as text ("127.0.0.1", "::1").
    virtual void line(const std::string& host, unsigned port, std::uint32_t sequence,
                      std::string_view text) = 0;
    // One event, prefixed with the stream's name ("127.0.0.1:40000: lost line 7").
    virtual void report(const std::string& text) = 0;
  };

  struct Limits {
    LineAssembler::Limits line;  // per stream
    std::size_t maxStreams = 1024;
    std::size_t maxPendingBytes = 256u << 20;  // over all streams
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

  void accept(const sockaddr* from, socklen_t length, const Datagram& datagram,
              LineAssembler::Clock::time_point now);
  void expire(LineAssembler::Clock::time_point now);
  // Closes every stream, reporting its incomplete lines; the table is empty afterwards.
  void finish();

  // Counts over every stream, open or closed.
  LineAssembler::Counts totals() const;
  std::uint64_t streamsOpened() const { return opened_; }
  std::size_t streamsOpen() const { return streams_.size(); }
  std::uint64_t streamsEvicted() const { return evicted_; }
  // One row per closed stream in the order they were opened (after finish(): every stream), the
  // last one adding up the streams past kMaxRows.
  const std::vector<Row>& rows() const { return rows_; }

  // "127.0.0.1:40000", "[::1]:40000"; an IPv4-mapped IPv6 address is shown as IPv4.
  static std::string describe(const sockaddr* address, socklen_t length, std::string* host,
                              unsigned* port);

 private:
  struct Stream;
  struct Key {
    std::array<unsigned char, 16> address{};
    std::uint16_t port = 0;
    bool operator==(const Key& other) const {
      return port == other.port && address == other.address;
    }
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const;
  };
  using Table = std::unordered_map<Key, std::unique_ptr<Stream>, KeyHash>;

  static Key keyOf(const sockaddr* address, socklen_t length);
  Stream& open(const Key& key, const sockaddr* from, socklen_t length, unsigned generation);
  void close(Table::iterator it, const std::string& why);
  void boundPendingBytes();

  Sink& sink_;
  const Limits limits_;
  Table streams_;
  Stream* last_ = nullptr;  // the stream of the previous datagram, to skip the lookup
  Key lastKey_;
  std::size_t pendingBytes_ = 0;
  std::uint64_t opened_ = 0;
  std::uint64_t evicted_ = 0;
  LineAssembler::Counts closedTotals_;
  std::vector<Row> rows_;
};
