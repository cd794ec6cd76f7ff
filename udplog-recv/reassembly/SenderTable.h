// The open streams of SenderStreams by sender address and port, in one flat array probed in
// place (open addressing, linear probing, at most half full): finding a sender reads one entry of
// 32 bytes, seldom its neighbour, where a node-based hash map reads a bucket and then a node
// elsewhere in memory. The table owns the values. Not thread-safe: the receiving thread owns it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

template <typename Value>
class SenderTable final {
 public:
  // An address as IPv6 (IPv4 as IPv4-mapped) and a port.
  struct Key {
    std::array<unsigned char, 16> address{};
    std::uint16_t port = 0;
    bool operator==(const Key& other) const {
      return port == other.port && address == other.address;
    }
  };

  SenderTable() : entries(kFirstCapacity) {}
  SenderTable(const SenderTable&) = delete;
  SenderTable& operator=(const SenderTable&) = delete;

  // The value under key, or nullptr.
  Value* find(const Key& key) const {
    const std::uint32_t hash = hashOf(key);
    for (std::size_t i = home(hash);; i = (i + 1) & mask()) {
      const Entry& entry = entries[i];
      if (!entry.value) return nullptr;
      if (entry.hash == hash && entry.key == key) return entry.value.get();
    }
  }

  // Adds a key not in the table.
  Value& insert(const Key& key, std::unique_ptr<Value> value) {
    if (2 * (count + 1) > entries.size()) grow();
    ++count;
    return place(Entry{key, hashOf(key), std::move(value)});
  }

  // Removes a key in the table, and its value. The entries after it in its run move back into
  // the gap, so that no marker of a removed entry is ever probed past.
  void erase(const Key& key) {
    const std::uint32_t hash = hashOf(key);
    std::size_t gap = home(hash);
    while (!(entries[gap].hash == hash && entries[gap].key == key)) gap = (gap + 1) & mask();
    entries[gap].value.reset();
    for (std::size_t i = (gap + 1) & mask(); entries[i].value; i = (i + 1) & mask()) {
      // An entry stays where it is when its home lies cyclically after the gap, up to it.
      const std::size_t from = home(entries[i].hash);
      const bool stays = gap <= i ? (gap < from && from <= i) : (gap < from || from <= i);
      if (!stays) {
        entries[gap] = std::move(entries[i]);
        gap = i;
      }
    }
    --count;
  }

  std::size_t size() const { return count; }

  // Calls f(key, value) for every entry, in no particular order; f must not add or remove.
  template <typename F>
  void forEach(F f) {
    for (Entry& entry : entries) {
      if (entry.value) f(entry.key, *entry.value);
    }
  }
  template <typename F>
  void forEach(F f) const {
    for (const Entry& entry : entries) {
      if (entry.value) f(entry.key, static_cast<const Value&>(*entry.value));
    }
  }

 private:
  static constexpr std::size_t kFirstCapacity = 16;

  struct Entry {
    Key key;
    std::uint32_t hash = 0;
    std::unique_ptr<Value> value;  // empty: a free entry
  };

  static std::uint32_t hashOf(const Key& key) {
    std::uint64_t high, low;
    std::memcpy(&high, key.address.data(), 8);
    std::memcpy(&low, key.address.data() + 8, 8);
    std::uint64_t h = (high * 0x9e3779b97f4a7c15ull) ^ (low + key.port);
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 31;
    h *= 0x94d049bb133111ebull;
    return static_cast<std::uint32_t>(h >> 32);
  }
  std::size_t mask() const { return entries.size() - 1; }
  // Where a hash's run begins: its top bits, as many as the capacity takes.
  std::size_t home(std::uint32_t hash) const {
    return static_cast<std::size_t>((std::uint64_t{hash} * entries.size()) >> 32);
  }
  Value& place(Entry entry) {
    std::size_t i = home(entry.hash);
    while (entries[i].value) i = (i + 1) & mask();
    entries[i] = std::move(entry);
    return *entries[i].value;
  }
  void grow() {
    std::vector<Entry> old(entries.size() * 2);
    old.swap(entries);
    for (Entry& entry : old) {
      if (entry.value) place(std::move(entry));
    }
  }

  std::vector<Entry> entries;  // a power of two of them, at least twice count
  std::size_t count = 0;
};
