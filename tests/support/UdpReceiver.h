// A UDP socket bound to an ephemeral loopback port, for tests that receive datagrams. One thread
// uses a receiver; it is its socket's only holder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SocketRuntime;

namespace testsupport {

class UdpReceiver {
 public:
  // address is "127.0.0.1" or "::1"; port 0 takes any free port.
  explicit UdpReceiver(const std::string& address = "127.0.0.1", unsigned short port = 0);
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  unsigned short port() const { return boundPort; }
  // Asks the kernel to count the datagrams it drops for a full receive buffer (Linux only).
  void countKernelDrops();

  // The next datagram, or "<timeout>" after the receive time-out (10 s, or the one given).
  std::string receive(int timeoutMs = 10000) {
    std::uint32_t ignored = 0;
    return receiveCountingDrops(timeoutMs, ignored);
  }

  // Like receive(); drops is set to the kernel's count of datagrams dropped for a full receive
  // buffer, once countKernelDrops() was called.
  std::string receiveCountingDrops(int timeoutMs, std::uint32_t& drops);

 private:
  std::unique_ptr<SocketRuntime> runtime;
  std::uintptr_t socket;  // a descriptor, or a Winsock SOCKET
  unsigned short boundPort;
};

}  // namespace testsupport
