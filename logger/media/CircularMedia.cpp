#include "logger/media/CircularMedia.h"

#include <cstdint>

#include "logger/media/ConfigNumber.h"
#include "logger/media/MediaKeys.h"

CircularMedia::CircularMedia() : ring(MediaKeys::kDefaultRingCapacity) {
  uint16_t capacity = MediaKeys::kDefaultRingCapacity;
  ConfigNumber::read(*ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope),
                     MediaKeys::kBufferSize, capacity);
  if (capacity != ring.capacity()) ring.set_capacity(capacity);
}

void CircularMedia::write(const std::string& line) {
  const LogRecord::Fields fields(line);
  if (fields.source().find(MediaKeys::kInterfaceMarker) != std::string_view::npos) return;
  MutexLock lock(mutex);
  keep(fields);
}

void CircularMedia::writeBurst(const std::vector<const std::string*>& lines,
                               const LineFailed& failed) {
  // Only the newest records the ring holds outlast the burst: they are found from its end and
  // stored oldest first under one lock. The lines before them would be overwritten unseen, so they
  // are not even split.
  const std::size_t room = capacity();
  kept.clear();
  for (auto line = lines.rbegin(); line != lines.rend() && kept.size() < room; ++line) {
    const LogRecord::Fields fields(**line);
    if (fields.source().find(MediaKeys::kInterfaceMarker) == std::string_view::npos) {
      kept.push_back(fields);
    }
  }
  MutexLock lock(mutex);
  for (auto fields = kept.rbegin(); fields != kept.rend(); ++fields) {
    try {
      keep(*fields);
    } catch (const std::exception& error) {
      failed(error);
    }
  }
}

void CircularMedia::keep(const LogRecord::Fields& fields) {
  if (ring.capacity() == 0) return;
  if (ring.full()) {
    // Copy over the oldest slot, reusing its storage, then make that slot the newest.
    ring.front().assign(fields);
    if (ring.size() > 1) ring.rotate(ring.begin() + 1);
  } else {
    ring.push_back(LogRecord(fields));
  }
}

void CircularMedia::flush() {}

std::string CircularMedia::getRawData() {
  static const char kLineEnd[] = "\r\n";
  MutexLock lock(mutex);
  std::size_t size = 0;
  for (const LogRecord& record : ring) size += record.lineFormSize() + 2;
  std::string text(size, '\0');
  char* dest = &text[0];
  for (const LogRecord& record : ring) {
    dest = record.writeLineForm(dest);
    *dest++ = kLineEnd[0];
    *dest++ = kLineEnd[1];
  }
  return text;
}

std::size_t CircularMedia::capacity() {
  MutexLock lock(mutex);
  return ring.capacity();
}
