#include "udplog-recv/forward/TlsTransport.h"

#include <arpa/inet.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "udplog-recv/forward/IConnection.h"
#include "udplog-recv/forward/TlsCredentials.h"

namespace {

// Records are at most 16 KiB: larger sends are cut to one record each.
constexpr std::size_t kRecord = 16384;

bool isAddress(const std::string& name) {
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

// "SHA256:AB:01:..." of the certificate, in the digest the pin names.
std::string fingerprintOf(gnutls_x509_crt_t certificate, const std::string& pin) {
  const bool sha1 = pin.rfind("SHA1:", 0) == 0;
  unsigned char digest[64];
  std::size_t size = sizeof(digest);
  if (gnutls_x509_crt_get_fingerprint(certificate, sha1 ? GNUTLS_DIG_SHA1 : GNUTLS_DIG_SHA256,
                                      digest, &size) != 0) {
    return "unknown";
  }
  static const char hex[] = "0123456789ABCDEF";
  std::string text = sha1 ? "SHA1" : "SHA256";
  for (std::size_t i = 0; i < size; ++i) {
    text += ':';
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 15];
  }
  return text;
}

}  // namespace

TlsTransport::TlsTransport(IConnection& theConnection, const TlsCredentials& theCredentials)
    : connection(theConnection), credentials(theCredentials) {}

TlsTransport::~TlsTransport() {
  if (session) gnutls_deinit(session);
}

ForwardResult TlsTransport::start(const std::string& peerName,
                                  const std::vector<std::string>& fingerprints) {
  pins = fingerprints;
  peer = peerName;
  // A target gone mid-write is an error to report, not a SIGPIPE that would end the program.
  int rc = gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL);
  if (rc == GNUTLS_E_SUCCESS) rc = gnutls_set_default_priority(session);
  if (rc == GNUTLS_E_SUCCESS) {
    rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials.get());
  }
  if (rc == GNUTLS_E_SUCCESS && !isAddress(peer)) {
    rc = gnutls_server_name_set(session, GNUTLS_NAME_DNS, peer.data(), peer.size());
  }
  if (rc != GNUTLS_E_SUCCESS) {
    return ForwardResult::fatal(std::string("cannot set TLS up: ") + gnutls_strerror(rc));
  }
  // Checked by GnuTLS during the handshake: a refusal ends it with a verification error.
  if (pins.empty()) gnutls_session_set_verify_cert(session, peer.c_str(), 0);
  gnutls_transport_set_ptr(session, this);
  gnutls_transport_set_push_function(session, push);
  gnutls_transport_set_pull_function(session, pull);
  return ForwardResult::success();
}

ssize_t TlsTransport::push(gnutls_transport_ptr_t self, const void* data, std::size_t size) {
  TlsTransport& transport = *static_cast<TlsTransport*>(self);
  std::size_t sent = 0;
  ForwardResult result = transport.connection.send(static_cast<const char*>(data), size, sent);
  return transport.moved(std::move(result), sent);
}

ssize_t TlsTransport::pull(gnutls_transport_ptr_t self, void* data, std::size_t size) {
  TlsTransport& transport = *static_cast<TlsTransport*>(self);
  std::size_t got = 0;
  ForwardResult result = transport.connection.receive(static_cast<char*>(data), size, got);
  return transport.moved(std::move(result), got);
}

ssize_t TlsTransport::moved(ForwardResult result, std::size_t bytes) {
  below = std::move(result);
  if (below.ok() && bytes > 0) return static_cast<ssize_t>(bytes);
  // GnuTLS reads the cause from errno: a failure is kept in below, for failure() to name.
  gnutls_transport_set_errno(session, below.ok() ? EAGAIN : ECONNRESET);
  return -1;
}

ForwardResult TlsTransport::failure(int rc) const {
  if ((rc == GNUTLS_E_PUSH_ERROR || rc == GNUTLS_E_PULL_ERROR) && !below.ok()) return below;
  if (rc == GNUTLS_E_FATAL_ALERT_RECEIVED || rc == GNUTLS_E_WARNING_ALERT_RECEIVED) {
    // Which alert the target sent says why it ended the session; GnuTLS's own text does not.
    const char* name = gnutls_alert_get_name(gnutls_alert_get(session));
    return ForwardResult::transient(std::string("the target sent the TLS alert '") +
                                    (name ? name : "unknown") + "'");
  }
  return ForwardResult::transient(gnutls_strerror(rc));
}

ForwardResult TlsTransport::handshake(bool& done) {
  done = false;
  const int rc = gnutls_handshake(session);
  if (rc == GNUTLS_E_SUCCESS) {
    const ForwardResult checked = pins.empty() ? ForwardResult::success() : pinned();
    done = checked.ok();
    return checked;
  }
  if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
    const unsigned status = gnutls_session_get_verify_cert_status(session);
    gnutls_datum_t text{};
    std::string why = "not trusted";
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
      why.assign(reinterpret_cast<const char*>(text.data), text.size);
      gnutls_free(text.data);
      why.erase(why.find_last_not_of(' ') + 1);
    }
    return ForwardResult::fatal(why);
  }
  if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED || !gnutls_error_is_fatal(rc)) {
    return ForwardResult::success();
  }
  return failure(rc);
}

bool TlsTransport::wantsWrite() const { return gnutls_record_get_direction(session) == 1; }

ForwardResult TlsTransport::send(const char* data, std::size_t size, std::size_t& sent) {
  sent = 0;
  // After "try again", GnuTLS sends the record it already made when given no bytes.
  const ssize_t rc = retrying ? gnutls_record_send(session, nullptr, 0)
                              : gnutls_record_send(session, data, std::min(size, kRecord));
  retrying = rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED;
  if (rc >= 0) {
    sent = static_cast<std::size_t>(rc);
    return ForwardResult::success();
  }
  if (retrying) return ForwardResult::success();
  return failure(static_cast<int>(rc));
}

ForwardResult TlsTransport::receive(char* data, std::size_t size, std::size_t& got) {
  got = 0;
  const ssize_t rc = gnutls_record_recv(session, data, size);
  if (rc > 0) {
    got = static_cast<std::size_t>(rc);
    return ForwardResult::success();
  }
  if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED) return ForwardResult::success();
  // A target that ends the connection without TLS's closing alert has still ended it.
  if (rc == 0 || rc == GNUTLS_E_PREMATURE_TERMINATION) {
    return ForwardResult::transient("the target closed the connection");
  }
  return failure(static_cast<int>(rc));
}

bool TlsTransport::pending() const { return gnutls_record_check_pending(session) > 0; }

void TlsTransport::bye() { gnutls_bye(session, GNUTLS_SHUT_WR); }

ForwardResult TlsTransport::pinned() const {
  unsigned count = 0;
  const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
  gnutls_x509_crt_t certificate;
  if (!chain || count == 0 || gnutls_x509_crt_init(&certificate) < 0) {
    return ForwardResult::fatal("it sent none");
  }
  std::string presented = "unknown";
  bool matched = false;
  ForwardResult valid = ForwardResult::success();
  if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) == 0) {
    for (const std::string& pin : pins) {
      presented = fingerprintOf(certificate, pin);
      matched = matched || presented == pin;
    }
    valid = TlsCredentials::validAt(certificate, std::time(nullptr));
  }
  gnutls_x509_crt_deinit(certificate);
  if (!matched)
    return ForwardResult::fatal("its fingerprint is " + presented + ", not a pinned one");
  if (!valid.ok()) return ForwardResult::fatal("the pinned certificate " + valid.cause());
  return ForwardResult::success();
}
