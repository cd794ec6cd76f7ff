// One TLS session with the collector on a non-blocking socket that the caller owns (RelpSession),
// with our checks of the collector's certificate: chained to the CA and naming the expected peer,
// or, pinned instead, one of the given fingerprints and valid now. Every call returns at once;
// the caller polls the socket (wantsWrite() says for what) and calls again. One thread at a time.
#pragma once

#include <gnutls/gnutls.h>

#include <cstddef>
#include <string>
#include <vector>

class TlsCredentials;

class TlsTransport final {
 public:
  // fingerprints empty: the certificate must chain to the credentials' CA and name peerName.
  TlsTransport(int fd, const TlsCredentials& credentials, const std::string& peerName,
               const std::vector<std::string>& fingerprints);
  ~TlsTransport();
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  enum class Step {
    kDone,     // the handshake is over and the collector's certificate passed
    kAgain,    // call again once the socket is ready (wantsWrite())
    kFailed,   // closed, reset, not TLS: a later attempt may work
    kRefused,  // the collector's certificate failed our checks
  };
  // One step of the handshake; why says the cause of kFailed and kRefused.
  Step handshake(std::string& why);
  // Whether the call that came back for want of the socket waits to write (else to read).
  bool wantsWrite() const;

  // Bytes written or read; 0 from receive() at the collector's end of the session; -1 when the
  // socket is not ready; -2 on an error, which why names. After -1, send() must be called again
  // with the same bytes.
  long send(const char* data, std::size_t size, std::string& why);
  long receive(char* data, std::size_t size, std::string& why);
  // Whether received bytes wait inside the session, which poll() cannot see.
  bool pending() const;
  // Says the end of the session to the collector, without waiting.
  void bye();

 private:
  // Why the pinned certificate may not be used ("its fingerprint is SHA256:..., not a pinned
  // one"); "" when it may.
  std::string whyNotPinned() const;

  // Constant after construction
  const std::vector<std::string> pins;

  gnutls_session_t session = nullptr;
  bool retrying = false;  // the last send() came back for want of the socket
};
