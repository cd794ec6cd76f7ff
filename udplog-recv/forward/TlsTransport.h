// One TLS session with the target over a connection that the caller owns (RelpSession's), with
// our checks of the target's certificate: chained to the CA and naming the expected peer, or,
// pinned instead, one of the given fingerprints and valid now. GnuTLS reads and writes through
// the connection, so a scripted connection drives TLS as it drives plain RELP. Every call returns
// at once; the caller waits on the connection (wantsWrite() says for what) and calls again. One
// thread at a time; *connection and credentials must outlive the transport.
#pragma once

#include <gnutls/gnutls.h>

#include <cstddef>
#include <string>
#include <vector>

#include "udplog-recv/forward/ForwardResult.h"

class IConnection;
class TlsCredentials;

class TlsTransport final {
 public:
  TlsTransport(IConnection& connection, const TlsCredentials& credentials);
  ~TlsTransport();
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  // Sets the session up: fingerprints empty, the certificate must chain to the credentials' CA
  // and name peerName. Fatal when GnuTLS cannot make the session.
  ForwardResult start(const std::string& peerName, const std::vector<std::string>& fingerprints);

  // One step of the handshake: ok with done false means call again once the connection is ready
  // (wantsWrite()); transient when closed, reset or not TLS; fatal when the target's certificate
  // failed our checks.
  ForwardResult handshake(bool& done);
  // Whether the call that came back for want of the connection waits to write (else to read).
  bool wantsWrite() const;

  // Bytes written or read into sent or got, 0 when the connection is not ready; after a send()
  // that took none, send() must be called again with the same bytes. The target's end of the
  // session is transient, as is any error.
  ForwardResult send(const char* data, std::size_t size, std::size_t& sent);
  ForwardResult receive(char* data, std::size_t size, std::size_t& got);
  // Whether received bytes wait inside the session, which a wait on the connection cannot see.
  bool pending() const;
  // Says the end of the session to the target, without waiting.
  void bye();

 private:
  static ssize_t push(gnutls_transport_ptr_t self, const void* data, std::size_t size);
  static ssize_t pull(gnutls_transport_ptr_t self, void* data, std::size_t size);
  // What push() or pull() tells GnuTLS of a step on the connection that moved bytes: their
  // count, or -1 with errno saying "again" or, the failure kept, "reset".
  ssize_t moved(ForwardResult result, std::size_t bytes);
  // GnuTLS's failure rc as a result; the connection's own cause when it failed below GnuTLS.
  ForwardResult failure(int rc) const;
  // Whether the target's certificate is a pinned one and valid now; fatal with why not ("its
  // fingerprint is SHA256:..., not a pinned one") otherwise.
  ForwardResult pinned() const;

  // Constant after construction
  IConnection& connection;
  const TlsCredentials& credentials;

  std::vector<std::string> pins;
  std::string peer;  // GnuTLS keeps a pointer to it for the name check: owned here
  gnutls_session_t session = nullptr;
  bool retrying = false;  // the last send() came back for want of the connection
  ForwardResult below = ForwardResult::success();  // the connection's last failure
};
