#include "udplog-recv/NameLookup.h"

#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

// Everything glibc reads or writes while it resolves: the name, the service, the hints and the
// control block that receives the answer. Its address must not change, so it lives on the heap.
struct NameLookup::Request {
  std::string host;
  std::string port;
  addrinfo hints{};
  gaicb block{};

  Request(std::string theHost, std::string thePort)
      : host(std::move(theHost)), port(std::move(thePort)) {
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    block.ar_name = host.c_str();
    block.ar_service = port.c_str();
    block.ar_request = &hints;
  }
  ~Request() {
    if (block.ar_result != nullptr) ::freeaddrinfo(block.ar_result);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
};

namespace {

// Requests abandoned while the resolver still ran them. Never destroyed: a resolver thread may
// still write into them when the process exits.
struct Abandoned {
  std::mutex mutex;
  // Guarded by mutex
  std::vector<std::unique_ptr<NameLookup::Request>> requests;
};

Abandoned& abandoned() {
  static Abandoned* const list = new Abandoned;
  return *list;
}

// Frees the abandoned requests that the resolver has finished.
void sweep() {
  Abandoned& list = abandoned();
  std::lock_guard<std::mutex> lock(list.mutex);
  auto& requests = list.requests;
  requests.erase(std::remove_if(requests.begin(), requests.end(),
                                [](const auto& request) {
                                  return ::gai_error(&request->block) != EAI_INPROGRESS;
                                }),
                 requests.end());
}

}  // namespace

NameLookup::NameLookup() = default;

NameLookup::~NameLookup() { abandon(); }

void NameLookup::abandon() {
  if (pending) {
    // EAI_CANCELED: glibc dropped it from its queue; EAI_ALLDONE: it has ended. Otherwise a
    // resolver thread holds it, and it may be freed only once gai_error says it has ended.
    const int cancel = ::gai_cancel(&pending->block);
    if (cancel != EAI_CANCELED && cancel != EAI_ALLDONE) {
      Abandoned& list = abandoned();
      std::lock_guard<std::mutex> lock(list.mutex);
      list.requests.push_back(std::move(pending));
    }
    pending.reset();
  }
  if (state == Status::kPending) state = Status::kIdle;
  sweep();
}

NameLookup::Status NameLookup::start(const std::string& host, const std::string& port) {
  abandon();
  found.clear();
  failure.clear();
  auto request = std::make_unique<Request>(host, port);
  // A literal needs no resolver: with AI_NUMERICHOST getaddrinfo answers without any query.
  request->hints.ai_flags |= AI_NUMERICHOST;
  addrinfo* literal = nullptr;
  const int numeric = ::getaddrinfo(host.c_str(), port.c_str(), &request->hints, &literal);
  request->hints.ai_flags &= ~AI_NUMERICHOST;
  if (numeric != EAI_NONAME) {
    request->block.ar_result = literal;  // freed with the request
    settle(numeric, literal);
    return state;
  }
  gaicb* list[] = {&request->block};
  const int queued = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (queued != 0) {
    settle(queued, nullptr);
    return state;
  }
  pending = std::move(request);
  state = Status::kPending;
  return state;
}

void NameLookup::settle(int result, const addrinfo* answer) {
  if (result == 0 && answer == nullptr) result = EAI_NONAME;
  if (result == 0) {
    for (const addrinfo* at = answer; at != nullptr; at = at->ai_next) {
      if (at->ai_addrlen > sizeof(sockaddr_storage)) continue;
      Address address;
      std::memcpy(&address.storage, at->ai_addr, at->ai_addrlen);
      address.length = at->ai_addrlen;
      found.push_back(address);
    }
  }
  state = found.empty() ? Status::kFailed : Status::kResolved;
  if (state == Status::kFailed) {
    failure = result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result);
  }
}

NameLookup::Status NameLookup::poll() {
  if (state != Status::kPending) return state;
  const int result = ::gai_error(&pending->block);
  if (result != EAI_INPROGRESS) {
    settle(result, pending->block.ar_result);
    pending.reset();
  }
  return state;
}

NameLookup::Status NameLookup::wait(Clock::time_point deadline) {
  while (poll() == Status::kPending) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    const timespec timeout{static_cast<std::time_t>(seconds.count()),
                           static_cast<long>(nanos.count())};
    const gaicb* list[] = {&pending->block};
    ::gai_suspend(list, 1, &timeout);  // ends early on the answer, a signal or the time-out
  }
  return state;
}

std::size_t NameLookup::abandonedInFlight() {
  sweep();
  Abandoned& list = abandoned();
  std::lock_guard<std::mutex> lock(list.mutex);
  return list.requests.size();
}
