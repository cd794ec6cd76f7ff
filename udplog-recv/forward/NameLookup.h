// Resolves a host (a name or an address literal) and a port into stream socket addresses without
// blocking the caller. The forwarders own one each and call it from one thread only: the receive
// loop and the RELP session poll it (poll() never blocks), every kPollInterval while it runs.
//
// A name is resolved by getaddrinfo on a resolver thread of its own, which shares the lookup's
// state with this object. A lookup abandoned while getaddrinfo still runs (a new start(),
// abandon(), the destructor) is not waited for: its thread keeps that state alive until
// getaddrinfo returns, writes the answer there and ends.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class NameLookup final {
 public:
  NameLookup(const NameLookup&) = delete;
  NameLookup& operator=(const NameLookup&) = delete;

  using Clock = std::chrono::steady_clock;
  // How often a caller looks at a lookup still running.
  static constexpr std::chrono::milliseconds kPollInterval{10};

  struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
  };

  // kIdle before the first start(); kPending while the resolver works; then kResolved (at least
  // one address) or kFailed (error() says why).
  enum class Status { kIdle, kPending, kResolved, kFailed };

  // What resolves a name, with getaddrinfo's contract (its answer is freed with freeaddrinfo):
  // getaddrinfo itself, or a test's slow or stuck one. Called on the resolver's thread.
  using Resolver = std::function<int(const char* host, const char* port, const addrinfo* hints,
                                     addrinfo** answer)>;

  explicit NameLookup(Resolver resolver = ::getaddrinfo);
  ~NameLookup();

  // Begins resolving host and port (decimal digits), abandoning a lookup still pending. An
  // address literal ("127.0.0.1", "::1") resolves at once; a name goes to the resolver's thread.
  Status start(const std::string& host, const std::string& port);
  // The lookup's status now; never blocks.
  Status poll();
  // Forgets a pending lookup (the status becomes kIdle); its memory lives on until the resolver
  // is done with it.
  void abandon();

  Status status() const { return state; }
  // The addresses in the resolver's order of preference; empty unless kResolved.
  const std::vector<Address>& addresses() const { return found; }
  // Why the lookup failed, "Name or service not known"; empty unless kFailed.
  const std::string& error() const { return failure; }

  // An address as text, without its port: "127.0.0.1", "::1".
  static std::string text(const Address& address);

  // Lookups abandoned whose resolver thread still runs, process-wide (for tests).
  static std::size_t abandonedInFlight();

 private:
  // What a lookup and its resolver thread share; defined beside the code.
  struct Request;

  // Takes an ended lookup's answer (result 0 and the list) or its error (getaddrinfo's, with
  // errno for EAI_SYSTEM) into found or failure.
  void settle(int result, const addrinfo* answer, int systemError);

  // Constant after construction
  const Resolver resolver;

  // Guarded by the owner's thread: one thread calls every member
  Status state = Status::kIdle;
  std::shared_ptr<Request> pending;  // while kPending
  std::vector<Address> found;
  std::string failure;
};
