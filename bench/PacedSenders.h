// Many UDP medium senders on one thread: S sockets on 127.0.0.1, each bound to a port of its own,
// send numbered lines to one loopback port, cut into datagrams as the medium cuts them
// ("<sequence>:<part>/<count>|<payload>", 50 000 payload bytes a part), each sender numbering its
// own lines from 1. Used from one benchmark thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchLines.h"

namespace benchlines {

class PacedSenders final {
 public:
  PacedSenders(const PacedSenders&) = delete;
  PacedSenders& operator=(const PacedSenders&) = delete;

  static constexpr std::size_t kPart = 50000;

  PacedSenders(unsigned short port, std::size_t senders, std::size_t lineSize)
      : lineText(line(lineSize, 0, "sender")), sequences(senders, 0) {
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    for (std::size_t s = 0; s < senders; ++s) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      int size = 4 << 20;
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
      sockaddr_in any = to;
      any.sin_port = 0;
      ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any));
      fds.push_back(fd);
    }
    parts = (lineText.size() + kPart - 1) / kPart;
  }
  ~PacedSenders() {
    for (int fd : fds) ::close(fd);
  }
  std::size_t partsPerLine() const { return parts; }

  // Offers `lines` lines at `rate` lines per second, in slices of 0.1 ms, or as fast as one thread
  // can (rate 0); returns the seconds it took. Lines go to the senders in turn; a sender's
  // datagrams of one slice leave in one sendmmsg call.
  double send(std::size_t lines, double rate) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const std::size_t slice = rate > 0 ? std::max<std::size_t>(1, rate / 10000) : 256;
    std::size_t sent = 0;
    while (sent < lines) {
      if (rate > 0) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(sent / rate));
        if (due > Clock::now()) std::this_thread::sleep_until(due);
      }
      const std::size_t now = std::min(slice, lines - sent);
      for (std::size_t i = 0; i < now; ++i) queue(next++ % fds.size());
      flush();
      sent += now;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  // Adds the datagrams of the sender's next line to the batch, sending the batch first when it
  // belongs to another sender or is full.
  void queue(std::size_t sender) {
    if (!headers.empty() && (sender != batchSender || headers.size() + parts > kBatch)) {
      flush();
    }
    batchSender = sender;
    const std::uint32_t sequence = ++sequences[sender];
    for (std::size_t p = 1; p <= parts; ++p) {
      texts.push_back(std::to_string(sequence) + ":" + std::to_string(p) + "/" +
                      std::to_string(parts) + "|");
      headers.emplace_back();
      const std::size_t begin = (p - 1) * kPart;
      payloads.push_back(
          {const_cast<char*>(lineText.data()) + begin, std::min(kPart, lineText.size() - begin)});
    }
  }

  void flush() {
    if (headers.empty()) return;
    iovecs.resize(2 * headers.size());
    for (std::size_t i = 0; i < headers.size(); ++i) {
      iovecs[2 * i] = {&texts[i][0], texts[i].size()};
      iovecs[2 * i + 1] = payloads[i];
      msghdr& h = headers[i].msg_hdr;
      h = msghdr{};
      h.msg_name = &to;
      h.msg_namelen = sizeof(to);
      h.msg_iov = &iovecs[2 * i];
      h.msg_iovlen = 2;
    }
    std::size_t done = 0;
    while (done < headers.size()) {
      const int n = ::sendmmsg(fds[batchSender], headers.data() + done,
                               static_cast<unsigned>(headers.size() - done), 0);
      if (n <= 0) break;  // loopback does not refuse; a failure loses the rest, as UDP would
      done += static_cast<std::size_t>(n);
    }
    headers.clear();
    texts.clear();
    payloads.clear();
  }

  static constexpr std::size_t kBatch = 64;

  const std::string lineText;
  std::size_t parts = 1;
  sockaddr_in to{};
  std::vector<int> fds;
  std::vector<std::uint32_t> sequences;
  std::size_t next = 0;
  std::size_t batchSender = 0;
  std::vector<std::string> texts;
  std::vector<iovec> payloads;
  std::vector<iovec> iovecs;
  std::vector<mmsghdr> headers;
};

}  // namespace benchlines
