// Preloaded (LD_PRELOAD) into udplog-recv by the forwarding tests: answers two names of the tests'
// own and hands every other lookup to the system's getaddrinfo.
//   two-homes.test  127.0.0.2 first, then 127.0.0.1
//   stuck.test      never answers, as a name service that hangs does
#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

int systemLookup(const char* host, const char* port, const addrinfo* hints, addrinfo** answer) {
  static const auto next = reinterpret_cast<GetAddrInfo>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  return next(host, port, hints, answer);
}

// The two addresses as one list that freeaddrinfo frees: each node is getaddrinfo's own.
int twoHomes(const char* port, const addrinfo* hints, addrinfo** answer) {
  addrinfo numeric = hints ? *hints : addrinfo{};
  numeric.ai_family = AF_INET;
  numeric.ai_flags |= AI_NUMERICHOST;
  addrinfo* second = nullptr;
  if (const int result = systemLookup("127.0.0.1", port, &numeric, &second); result != 0) {
    return result;
  }
  if (const int result = systemLookup("127.0.0.2", port, &numeric, answer); result != 0) {
    ::freeaddrinfo(second);
    return result;
  }
  addrinfo* last = *answer;
  while (last->ai_next != nullptr) last = last->ai_next;
  last->ai_next = second;
  return 0;
}

}  // namespace

extern "C" int getaddrinfo(const char* host, const char* port, const addrinfo* hints,
                           addrinfo** answer) {
  // A literal's lookup asks no name service.
  if (hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0) {
    return systemLookup(host, port, hints, answer);
  }
  if (host != nullptr && std::strcmp(host, "stuck.test") == 0) {
    for (;;) ::pause();
  }
  if (host != nullptr && std::strcmp(host, "two-homes.test") == 0) {
    return twoHomes(port, hints, answer);
  }
  return systemLookup(host, port, hints, answer);
}
