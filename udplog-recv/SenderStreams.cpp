#include "udplog-recv/SenderStreams.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

struct SenderStreams::Stream final : LineAssembler::Listener {
  Stream(SenderStreams& table, std::string name, std::string host, unsigned port,
         unsigned generation, std::uint64_t ordinal, LineAssembler::Limits limits)
      : table(table),
        name(std::move(name)),
        host(std::move(host)),
        port(port),
        generation(generation),
        ordinal(ordinal),
        assembler(*this, limits, &table.spares_) {}

  void line(std::uint32_t sequence, std::string_view text) override {
    table.sink_.line(host, port, sequence, text);
  }
  void report(const std::string& text) override { table.sink_.report(name + ": " + text); }

  SenderStreams& table;
  const std::string name;
  const std::string host;
  const unsigned port;
  const unsigned generation;    // 1 for a sender's first stream, 2 after it started over, ...
  const std::uint64_t ordinal;  // the order of opening
  LineAssembler assembler;
  Host* sender = nullptr;  // the entry of the stream's address, while the stream is open
};

std::size_t SenderStreams::KeyHash::operator()(const Key& key) const {
  std::uint64_t h = 1469598103934665603ull ^ key.port;
  for (unsigned char byte : key.address) h = (h ^ byte) * 1099511628211ull;
  return static_cast<std::size_t>(h);
}

std::size_t SenderStreams::AddressHash::operator()(const Address& address) const {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char byte : address) h = (h ^ byte) * 1099511628211ull;
  return static_cast<std::size_t>(h);
}

SenderStreams::SenderStreams(Sink& sink, Limits limits) : sink_(sink), limits_(limits) {}

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
  if (streams_.size() >= limits_.maxStreams) {
    auto oldest = streams_.begin();
    for (auto it = streams_.begin(); it != streams_.end(); ++it) {
      if (it->second->assembler.lastHeard() < oldest->second->assembler.lastHeard()) oldest = it;
    }
    ++evicted_;
    close(oldest, "closed to make room for a new sender (more than " +
                      std::to_string(limits_.maxStreams) + " senders)");
  }
  std::string host;
  unsigned port = 0;
  std::string name = describe(from, length, &host, &port);
  if (generation > 1) name += " (stream " + std::to_string(generation) + ")";
  auto stream =
      std::make_unique<Stream>(*this, name, host, port, generation, opened_, limits_.line);
  Stream& result = *stream;
  result.sender = &hosts_[key.address];
  result.sender->streams.push_back(&result);
  streams_[key] = std::move(stream);
  ++opened_;
  return result;
}

void SenderStreams::accept(const sockaddr* from, socklen_t length, const Datagram& datagram,
                           LineAssembler::Clock::time_point now) {
  Stream* stream = last_;
  Key key = keyOf(from, length);
  if (!stream || !(key == lastKey_)) {
    auto it = streams_.find(key);
    stream = it == streams_.end() ? &open(key, from, length, 1) : it->second.get();
  }
  if (stream->assembler.startsOver(datagram, now)) {
    const unsigned generation = stream->generation + 1;
    stream->report("sender started over at line " + std::to_string(datagram.sequence) +
                   ": a new stream follows");
    close(streams_.find(key), "sender started over");
    stream = &open(key, from, length, generation);
  }
  last_ = stream;
  lastKey_ = key;
  const std::size_t before = stream->assembler.pendingBytes();
  stream->assembler.accept(datagram, now);
  settle(*stream, before);
  Host& host = *stream->sender;
  while (host.pendingBytes > limits_.maxSenderBytes &&
         dropOldestOf(host, "dropped to bound memory: this sender's address held more than " +
                                std::to_string(limits_.maxSenderBytes) + " bytes")) {
  }
  if (pendingBytes_ > limits_.maxPendingBytes) boundPendingBytes();
}

void SenderStreams::settle(Stream& stream, std::size_t before) {
  const std::size_t after = stream.assembler.pendingBytes();
  pendingBytes_ = pendingBytes_ - before + after;
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
  while (pendingBytes_ > limits_.maxPendingBytes) {
    Host* largest = nullptr;
    for (auto& entry : hosts_) {
      if (!largest || entry.second.pendingBytes > largest->pendingBytes) largest = &entry.second;
    }
    if (!largest || !dropOldestOf(*largest, "dropped to bound memory across senders")) return;
  }
}

void SenderStreams::expire(LineAssembler::Clock::time_point now) {
  if (pendingBytes_ == 0) return;  // every part held has bytes, so nothing waits
  for (auto& entry : streams_) {
    LineAssembler& assembler = entry.second->assembler;
    if (!assembler.hasPending()) continue;
    const std::size_t before = assembler.pendingBytes();
    assembler.expire(now);
    settle(*entry.second, before);
  }
}

void SenderStreams::close(Table::iterator it, const std::string& why) {
  Stream& stream = *it->second;
  Host& host = *stream.sender;
  pendingBytes_ -= stream.assembler.pendingBytes();
  host.pendingBytes -= stream.assembler.pendingBytes();
  stream.assembler.finish(why);
  host.streams.erase(std::find(host.streams.begin(), host.streams.end(), &stream));
  if (host.streams.empty()) hosts_.erase(it->first.address);
  const LineAssembler::Counts& counts = stream.assembler.counts();
  closedTotals_ += counts;
  if (rows_.size() < kMaxRows) {
    rows_.push_back(Row{stream.name, counts});
  } else {
    if (rows_.size() == kMaxRows) rows_.push_back(Row{"", {}});
    rows_.back().counts += counts;
    rows_.back().name = "the other " + std::to_string(opened_ - kMaxRows) + " streams";
  }
  if (last_ == &stream) last_ = nullptr;
  streams_.erase(it);
}

void SenderStreams::finish() {
  // In the order the streams were opened, so that the summary reads like the traffic did.
  std::vector<std::pair<std::uint64_t, Key>> order;
  for (auto& entry : streams_) order.emplace_back(entry.second->ordinal, entry.first);
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& entry : order) close(streams_.find(entry.second), "still incomplete at the end");
}

LineAssembler::Counts SenderStreams::totals() const {
  LineAssembler::Counts all = closedTotals_;
  for (const auto& entry : streams_) all += entry.second->assembler.counts();
  return all;
}
