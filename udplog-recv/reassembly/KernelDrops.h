// The kernel's count of datagrams it dropped on a socket for a full receive buffer: attached to
// each datagram received (SO_RXQ_OVFL), for the tests that count loss, or asked for when wanted
// (SO_MEMINFO, /proc/net/udp), as the receiver does once per batch of reads.
#pragma once

#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace KernelDrops {

// Asks the kernel to attach its drop count to every datagram received on fd (SO_RXQ_OVFL is
// Linux-only).
inline void enable(int fd) {
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
}

// recvmsg() of one datagram into buffer; drops is updated with the count the kernel attached.
inline ssize_t receive(int fd, char* buffer, std::size_t size, int flags, std::uint32_t& drops) {
  iovec io{buffer, size};
  char control[CMSG_SPACE(sizeof(std::uint32_t))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  ssize_t n = ::recvmsg(fd, &message, flags);
  if (n < 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&drops, CMSG_DATA(c), sizeof(drops));
    }
  }
  return n;
}

// The kernel's count for fd as it stands now, read from /proc/net/udp or udp6 (the last column of
// the socket's row, found by its inode): unlike the count attached to a datagram, this includes
// the datagrams dropped after the last one received. False when the row cannot be found.
inline bool readTotal(int fd, std::uint32_t& drops) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  const std::string inode = std::to_string(status.st_ino);
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string row;
    std::getline(in, row);  // the column names
    while (std::getline(in, row)) {
      std::istringstream fields(row);
      std::string field, last;
      int index = 0;
      bool match = false;
      while (fields >> field) {
        if (index++ == 9) match = field == inode;
        last = field;
      }
      if (match) {
        drops = static_cast<std::uint32_t>(std::stoul(last));
        return true;
      }
    }
  }
  return false;
}

// The kernel's count for fd as it stands now, in one system call (SO_MEMINFO); falls back to
// readTotal() where the kernel does not give it.
inline bool readNow(int fd, std::uint32_t& drops) {
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof(memory);
  if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof(memory[0])) {
    drops = memory[SK_MEMINFO_DROPS];
    return true;
  }
  return readTotal(fd, drops);
}

}  // namespace KernelDrops
