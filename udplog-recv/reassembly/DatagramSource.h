// The receiver's UDP socket: bound to one address and port, it takes the waiting datagrams in
// batches (one recvmmsg call for up to kBatch), each with its sender's address, and reads the
// kernel's count of datagrams dropped for a full receive buffer when asked, once per round.
//
// Owned by the receiving thread; the views that receive() fills stay valid until the next call.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DatagramSource final {
 public:
  static constexpr std::size_t kBatch = 64;
  static constexpr std::size_t kMaxDatagram = 65536;

  struct View {
    const sockaddr* from;
    socklen_t fromLength;
    const char* data;
    std::size_t size;
  };

  DatagramSource();
  ~DatagramSource();
  DatagramSource(const DatagramSource&) = delete;
  DatagramSource& operator=(const DatagramSource&) = delete;

  // Binds to address ("127.0.0.1", "::") and port; false with error set: "--listen '...' is not
  // an IPv4 or IPv6 address" or "cannot listen on ...", and openFailure() saying which kind.
  bool open(const std::string& address, unsigned port, std::string& error);
  // Why the last open() failed: kSetting when only another setting can help (not an address, a
  // port below 1024 without the capability), kRun when the same setting may work later (the
  // port in use, the address not yet on an interface); kNone after a success.
  enum class Failure { kNone, kSetting, kRun };
  Failure openFailure() const { return failure; }
  int fd() const { return socketFd; }

  // Takes the datagrams waiting, up to kBatch, without blocking; 0 when none waits.
  std::size_t receive();
  const View& datagram(std::size_t index) const { return views[index]; }

  // The kernel's drop count as readKernelDrops() last read it.
  std::uint32_t kernelDrops() const { return drops; }
  // The kernel's drop count now (one system call).
  std::uint32_t readKernelDrops();
  // The receive buffer the kernel granted, in bytes (as it counts them: twice the size asked).
  std::size_t receiveBuffer() const { return receiveBufferSize; }

 private:
  int socketFd = -1;
  Failure failure = Failure::kNone;
  std::uint32_t drops = 0;
  std::size_t receiveBufferSize = 0;
  // Left uninitialised: only the pages that datagrams reach become resident (4 MiB for 64
  // datagrams of 64 KiB, a page each for short ones).
  std::unique_ptr<char[]> buffers;
  std::vector<sockaddr_storage> from;
  std::vector<iovec> iovecs;
  std::vector<mmsghdr> headers;
  std::vector<View> views;
};
