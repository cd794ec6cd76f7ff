#include "platform/Datagram.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace {

msghdr messageOf(const Datagram::Outgoing& datagram, iovec* pieces, const void* address,
                 std::size_t addressSize) {
  pieces[0].iov_base = const_cast<void*>(datagram.head);
  pieces[0].iov_len = datagram.headSize;
  pieces[1].iov_base = const_cast<void*>(datagram.body);
  pieces[1].iov_len = datagram.bodySize;
  msghdr message{};
  message.msg_name = const_cast<void*>(address);
  message.msg_namelen = static_cast<socklen_t>(addressSize);
  message.msg_iov = pieces;
  message.msg_iovlen = datagram.bodySize == 0 ? 1 : 2;
  return message;
}

}  // namespace

void Datagram::sendAll(Socket socket, const Outgoing* datagrams, std::size_t count,
                       const void* address, std::size_t addressSize, std::error_code* errors) {
  const int fd = static_cast<int>(socket);
#ifdef __linux__
  mmsghdr messages[kBatch];
  iovec pieces[kBatch][2];
  for (std::size_t next = 0; next < count; next += kBatch) {
    const std::size_t batch = std::min(count - next, kBatch);
    for (std::size_t i = 0; i < batch; ++i) {
      messages[i].msg_hdr = messageOf(datagrams[next + i], pieces[i], address, addressSize);
      messages[i].msg_len = 0;
    }
    // Returns how many left before the first that failed; that one fails alone when it comes
    // first in the next call, and the batch goes on from the one after it.
    std::size_t done = 0;
    while (done < batch) {
      const int sent = ::sendmmsg(fd, messages + done, static_cast<unsigned>(batch - done), 0);
      if (sent > 0) {
        for (int i = 0; i < sent; ++i) errors[next + done + i].clear();
        done += static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno != EINTR) {
        errors[next + done] = std::error_code(errno, std::system_category());
        ++done;
      }
    }
  }
#else
  for (std::size_t i = 0; i < count; ++i) {
    iovec pieces[2];
    const msghdr message = messageOf(datagrams[i], pieces, address, addressSize);
    ssize_t sent;
    do {
      sent = ::sendmsg(fd, &message, 0);
    } while (sent < 0 && errno == EINTR);
    errors[i] = sent < 0 ? std::error_code(errno, std::system_category()) : std::error_code();
  }
#endif
}
