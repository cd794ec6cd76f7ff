#include "udplog-recv/forward/NameLookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// Lookups abandoned whose resolver thread has not returned yet.
std::atomic<std::size_t> abandonedRunning{0};

addrinfo streamHints(int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | flags;
  return hints;
}

}  // namespace

// Made by start(), shared by the lookup and its resolver thread; whichever lets go last frees it.
struct NameLookup::Request {
  Request(std::string theHost, std::string thePort, Resolver theResolver)
      : host(std::move(theHost)), port(std::move(thePort)), resolver(std::move(theResolver)) {}
  ~Request() {
    if (answer != nullptr) ::freeaddrinfo(answer);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Constant after construction
  const std::string host;
  const std::string port;
  const Resolver resolver;

  // Guarded by mutex
  std::mutex mutex;
  bool done = false;
  bool abandoned = false;
  int result = 0;
  int systemError = 0;  // errno, when result is EAI_SYSTEM
  addrinfo* answer = nullptr;

  // The resolver thread's body: getaddrinfo without the lock, then the answer under it.
  static void resolve(const std::shared_ptr<Request>& request) {
    const addrinfo hints = streamHints(0);
    addrinfo* answer = nullptr;
    const int result =
        request->resolver(request->host.c_str(), request->port.c_str(), &hints, &answer);
    const int systemError = errno;
    std::lock_guard<std::mutex> lock(request->mutex);
    request->result = result;
    request->systemError = systemError;
    request->answer = answer;
    request->done = true;
    if (request->abandoned) --abandonedRunning;
  }
};

NameLookup::NameLookup(Resolver theResolver) : resolver(std::move(theResolver)) {}

NameLookup::~NameLookup() { abandon(); }

void NameLookup::abandon() {
  if (pending) {
    std::lock_guard<std::mutex> lock(pending->mutex);
    if (!pending->done) {
      pending->abandoned = true;
      ++abandonedRunning;
    }
  }
  pending.reset();
  if (state == Status::kPending) state = Status::kIdle;
}

NameLookup::Status NameLookup::start(const std::string& host, const std::string& port) {
  abandon();
  found.clear();
  failure.clear();
  // A literal needs no resolver: with AI_NUMERICHOST getaddrinfo answers without any query.
  const addrinfo numeric = streamHints(AI_NUMERICHOST);
  addrinfo* literal = nullptr;
  const int result = ::getaddrinfo(host.c_str(), port.c_str(), &numeric, &literal);
  if (result != EAI_NONAME) {
    settle(result, literal, errno);
    if (literal != nullptr) ::freeaddrinfo(literal);
    return state;
  }
  auto request = std::make_shared<Request>(host, port, resolver);
  try {
    std::thread(&Request::resolve, request).detach();
  } catch (const std::system_error& e) {
    state = Status::kFailed;
    failure = std::string("cannot start a resolver thread: ") + e.what();
    return state;
  }
  pending = std::move(request);
  state = Status::kPending;
  return state;
}

void NameLookup::settle(int result, const addrinfo* answer, int systemError) {
  if (result == 0) {
    for (const addrinfo* at = answer; at != nullptr; at = at->ai_next) {
      if (at->ai_addrlen > sizeof(sockaddr_storage)) continue;
      Address address;
      std::memcpy(&address.storage, at->ai_addr, at->ai_addrlen);
      address.length = at->ai_addrlen;
      found.push_back(address);
    }
    if (found.empty()) result = EAI_NONAME;
  }
  state = found.empty() ? Status::kFailed : Status::kResolved;
  if (state == Status::kFailed) {
    failure = result == EAI_SYSTEM ? std::strerror(systemError) : ::gai_strerror(result);
  }
}

NameLookup::Status NameLookup::poll() {
  if (state != Status::kPending) return state;
  {
    std::lock_guard<std::mutex> lock(pending->mutex);
    if (!pending->done) return state;
    settle(pending->result, pending->answer, pending->systemError);
  }
  pending.reset();
  return state;
}

std::size_t NameLookup::abandonedInFlight() { return abandonedRunning; }

std::string NameLookup::text(const Address& address) {
  char buffer[INET6_ADDRSTRLEN] = "";
  if (address.storage.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address.storage).sin6_addr, buffer,
                sizeof(buffer));
  } else if (address.storage.ss_family == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address.storage).sin_addr, buffer,
                sizeof(buffer));
  }
  return buffer;
}
