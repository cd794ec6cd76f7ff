// Resolvers for forwarding tests, in getaddrinfo's contract: one that answers a name with a list
// of loopback addresses in a given order, and one held inside until the test lets it go, as a
// stuck name service would be. They reach no name service.
#pragma once

#include <netdb.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "udplog-recv/forward/NameLookup.h"

namespace testsupport {

// Any name is the addresses given (literals), in that order.
inline NameLookup::Resolver resolvesTo(std::vector<std::string> addresses) {
  return [addresses](const char*, const char* port, const addrinfo* hints, addrinfo** answer) {
    addrinfo numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    addrinfo** tail = answer;
    *answer = nullptr;
    for (const std::string& address : addresses) {
      // glibc frees an answer node by node, so lists of separate calls may be joined.
      if (const int rc = ::getaddrinfo(address.c_str(), port, &numeric, tail); rc != 0) return rc;
      while (*tail) tail = &(*tail)->ai_next;
    }
    return 0;
  };
}

// A resolver that waits inside until release(), then answers 127.0.0.1; calls() counts the
// lookups begun. *this must outlive every lookup that uses resolver() (release() first).
class HeldResolver {
 public:
  NameLookup::Resolver resolver() {
    return [this](const char*, const char* port, const addrinfo* hints, addrinfo** answer) {
      ++begun;
      {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [this] { return free; });
      }
      const int rc = resolvesTo({"127.0.0.1"})(nullptr, port, hints, answer);
      ++ended;
      return rc;
    };
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      free = true;
    }
    released.notify_all();
  }
  int calls() const { return begun; }
  int done() const { return ended; }

 private:
  std::mutex mutex;
  std::condition_variable released;
  bool free = false;
  std::atomic<int> begun{0};
  std::atomic<int> ended{0};
};

}  // namespace testsupport
