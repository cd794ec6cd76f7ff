#include "udplog-recv/reassembly/SenderStreams.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

// A datagram of one part reads the first two cache lines of its stream (the fields up to the
// assembler's and its own first) and one line of the assembler's window, all in the stream's one
// allocation; the fields of opening, closing and forwarding come after the window.
struct alignas(64) SenderStreams::Stream final : LineAssembler::Listener {
  Stream(SenderStreams& theTable, const Key& theKey, std::string theName, std::string theHost,
         unsigned thePort, unsigned theGeneration, std::uint64_t theOrdinal,
         LineAssembler::Limits limits)
      : table(theTable),
        port(thePort),
        assembler(*this, limits, &theTable.spares),
        host(std::move(theHost)),
        key(theKey),
        name(std::move(theName)),
        generation(theGeneration),
        ordinal(theOrdinal) {}

  void line(std::uint32_t sequence, std::string_view text) override {
    table.sink.line(host, port, sequence, text);
  }
  void report(const std::string& text) override { table.sink.report(name + ": " + text); }

  SenderStreams& table;
  const unsigned port;
  LineAssembler assembler;
  Host* sender = nullptr;  // the entry of the stream's address, while the stream is open
  const std::string host;
  const Key key;
  const std::string name;
  const unsigned generation;    // 1 for a sender's first stream, 2 after it started over, ...
  const std::uint64_t ordinal;  // the order of opening
};

std::size_t SenderStreams::AddressHash::operator()(const Address& address) const {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char byte : address) h = (h ^ byte) * 1099511628211ull;
  return static_cast<std::size_t>(h);
}

SenderStreams::SenderStreams(Sink& theSink, Limits theLimits) : sink(theSink), limits(theLimits) {}

SenderStreams::~SenderStreams() = default;

SenderStreams::Key SenderStreams::keyOf(const sockaddr* address, socklen_t length) {
  Key key;
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    key.address[10] = key.address[11] = 0xff;  // as IPv4-mapped IPv6
    std::memcpy(&key.address[12], &v4->sin_addr, 4);
    key.port = ntohs(v4->sin_port);
  } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    std::memcpy(key.address.data(), &v6->sin6_addr, 16);
    key.port = ntohs(v6->sin6_port);
  }
  return key;
}

std::string SenderStreams::describe(const sockaddr* address, socklen_t length, std::string* host,
                                    unsigned* port) {
  const Key key = keyOf(address, length);
  char text[INET6_ADDRSTRLEN] = "?";
  const bool v4 = IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(key.address.data()));
  if (v4) {
    inet_ntop(AF_INET, &key.address[12], text, sizeof(text));
  } else {
    inet_ntop(AF_INET6, key.address.data(), text, sizeof(text));
  }
  if (host) *host = text;
  if (port) *port = key.port;
  const std::string shown = v4 ? std::string(text) : "[" + std::string(text) + "]";
  return shown + ":" + std::to_string(key.port);
}

SenderStreams::Stream& SenderStreams::open(const Key& key, const sockaddr* from, socklen_t length,
                                           unsigned generation) {
  if (streams.size() >= limits.maxStreams) {
    Stream* oldest = nullptr;
    streams.forEach([&oldest](const Key&, Stream& stream) {
      if (!oldest || stream.assembler.lastHeard() < oldest->assembler.lastHeard() ||
          (stream.assembler.lastHeard() == oldest->assembler.lastHeard() &&
           stream.ordinal < oldest->ordinal)) {
        oldest = &stream;
      }
    });
    ++evicted;
    close(*oldest, "closed to make room for a new sender (more than " +
                       std::to_string(limits.maxStreams) + " senders)");
  }
  std::string host;
  unsigned port = 0;
  std::string name = describe(from, length, &host, &port);
  if (generation > 1) name += " (stream " + std::to_string(generation) + ")";
  Stream& result = streams.insert(
      key, std::make_unique<Stream>(*this, key, name, host, port, generation, opened, limits.line));
  result.sender = &hosts[key.address];
  result.sender->streams.push_back(&result);
  ++opened;
  return result;
}

void SenderStreams::accept(const sockaddr* from, socklen_t length, const Datagram& datagram,
                           LineAssembler::Clock::time_point now) {
  Stream* stream = last;
  Key key = keyOf(from, length);
  if (!stream || !(key == lastKey)) {
    stream = streams.find(key);
    if (!stream) stream = &open(key, from, length, 1);
  }
  if (stream->assembler.startsOver(datagram, now)) {
    const unsigned generation = stream->generation + 1;
    stream->report("sender started over at line " + std::to_string(datagram.sequence) +
                   ": a new stream follows");
    close(*stream, "sender started over");
    stream = &open(key, from, length, generation);
  }
  last = stream;
  lastKey = key;
  const std::size_t before = stream->assembler.pendingBytes();
  stream->assembler.accept(datagram, now);
  // Most datagrams are lines of one part: nothing held changes, the bounds hold as they did, and
  // the sender's address entry is not touched.
  if (stream->assembler.pendingBytes() != before) bound(*stream, before);
}

void SenderStreams::bound(Stream& stream, std::size_t before) {
  settle(stream, before);
  Host& host = *stream.sender;
  while (host.pendingBytes > limits.maxSenderBytes &&
         dropOldestOf(host, "dropped to bound memory: this sender's address held more than " +
                                std::to_string(limits.maxSenderBytes) + " bytes")) {
  }
  if (pendingBytes > limits.maxPendingBytes) boundPendingBytes();
}

void SenderStreams::settle(Stream& stream, std::size_t before) {
  const std::size_t after = stream.assembler.pendingBytes();
  pendingBytes = pendingBytes - before + after;
  stream.sender->pendingBytes = stream.sender->pendingBytes - before + after;
}

bool SenderStreams::dropOldestOf(Host& host, const std::string& why) {
  Stream* oldest = nullptr;
  auto oldestSeen = LineAssembler::Clock::time_point::max();
  for (Stream* stream : host.streams) {
    const auto seen = stream->assembler.oldestPending();
    if (!oldest || seen < oldestSeen) {
      oldest = stream;
      oldestSeen = seen;
    }
  }
  if (!oldest) return false;
  const std::size_t before = oldest->assembler.pendingBytes();
  if (!oldest->assembler.dropOldest(why)) return false;
  settle(*oldest, before);
  return true;
}

void SenderStreams::boundPendingBytes() {
  while (pendingBytes > limits.maxPendingBytes) {
    Host* largest = nullptr;
    for (auto& entry : hosts) {
      if (!largest || entry.second.pendingBytes > largest->pendingBytes) largest = &entry.second;
    }
    if (!largest || !dropOldestOf(*largest, "dropped to bound memory across senders")) return;
  }
}

void SenderStreams::expire(LineAssembler::Clock::time_point now) {
  if (pendingBytes == 0) return;  // every part held has bytes, so nothing waits
  streams.forEach([this, now](const Key&, Stream& stream) {
    if (!stream.assembler.hasPending()) return;
    const std::size_t before = stream.assembler.pendingBytes();
    stream.assembler.expire(now);
    settle(stream, before);
  });
}

void SenderStreams::close(Stream& stream, const std::string& why) {
  Host& host = *stream.sender;
  pendingBytes -= stream.assembler.pendingBytes();
  host.pendingBytes -= stream.assembler.pendingBytes();
  stream.assembler.finish(why);
  host.streams.erase(std::find(host.streams.begin(), host.streams.end(), &stream));
  if (host.streams.empty()) hosts.erase(stream.key.address);
  const LineAssembler::Counts& counts = stream.assembler.counts();
  closedTotals += counts;
  if (entries.size() < kMaxRows) {
    entries.push_back(Row{stream.name, counts});
  } else {
    if (entries.size() == kMaxRows) entries.push_back(Row{"", {}});
    entries.back().counts += counts;
    entries.back().name = "the other " + std::to_string(opened - kMaxRows) + " streams";
  }
  if (last == &stream) last = nullptr;
  const Key key = stream.key;
  streams.erase(key);  // and with it the stream
}

void SenderStreams::finish() {
  // In the order the streams were opened, so that the summary reads like the traffic did.
  std::vector<Stream*> order;
  streams.forEach([&order](const Key&, Stream& stream) { order.push_back(&stream); });
  std::sort(order.begin(), order.end(),
            [](const Stream* a, const Stream* b) { return a->ordinal < b->ordinal; });
  for (Stream* stream : order) close(*stream, "still incomplete at the end");
}

LineAssembler::Counts SenderStreams::totals() const {
  LineAssembler::Counts all = closedTotals;
  streams.forEach([&all](const Key&, const Stream& stream) { all += stream.assembler.counts(); });
  return all;
}
