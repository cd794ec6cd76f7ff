#include "udplog-recv/forward/BoundedBacklog.h"

#include <utility>

BoundedBacklog::BoundedBacklog(std::string theTarget, std::size_t lineBound, std::size_t byteBound)
    : target(std::move(theTarget)), maxLines(lineBound), maxBytes(byteBound) {}

std::string BoundedBacklog::push(std::string message, std::size_t keep, std::uint64_t& dropped) {
  std::string report;
  while (lines.size() > keep && (lines.size() >= maxLines || bytes + message.size() > maxBytes)) {
    auto victim = lines.begin() + static_cast<std::ptrdiff_t>(keep);
    bytes -= victim->size();
    lines.erase(victim);
    ++dropped;
    if (!dropping) {
      dropping = true;
      report = "forward: the backlog for " + target + " is full (" + std::to_string(maxLines) +
               " lines or " + std::to_string(maxBytes >> 20) + " MiB): dropping the oldest lines";
    }
  }
  bytes += message.size();
  lines.push_back(std::move(message));
  return report;
}

std::string BoundedBacklog::takeFront() {
  std::string line = std::move(lines.front());
  lines.pop_front();
  bytes -= line.size();
  return line;
}
