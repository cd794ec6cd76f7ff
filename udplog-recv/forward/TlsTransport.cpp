#include "udplog-recv/forward/TlsTransport.h"

#include <arpa/inet.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <ctime>

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

TlsTransport::TlsTransport(int fd, const TlsCredentials& credentials, const std::string& peerName,
                           const std::vector<std::string>& fingerprints)
    : pins(fingerprints) {
  // A collector gone mid-write is an error to report, not a SIGPIPE that would end the program.
  gnutls_init(&session, GNUTLS_CLIENT | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL);
  gnutls_set_default_priority(session);
  gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials.get());
  if (!isAddress(peerName)) {
    gnutls_server_name_set(session, GNUTLS_NAME_DNS, peerName.data(), peerName.size());
  }
  // Checked by GnuTLS during the handshake: a refusal ends it with a verification error.
  if (pins.empty()) gnutls_session_set_verify_cert(session, peerName.c_str(), 0);
  gnutls_transport_set_int(session, fd);
}

TlsTransport::~TlsTransport() { gnutls_deinit(session); }

TlsTransport::Step TlsTransport::handshake(std::string& why) {
  const int rc = gnutls_handshake(session);
  if (rc == GNUTLS_E_SUCCESS) {
    why = pins.empty() ? "" : whyNotPinned();
    return why.empty() ? Step::kDone : Step::kRefused;
  }
  if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
    const unsigned status = gnutls_session_get_verify_cert_status(session);
    gnutls_datum_t text{};
    why = "not trusted";
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
      why.assign(reinterpret_cast<const char*>(text.data), text.size);
      gnutls_free(text.data);
      why.erase(why.find_last_not_of(' ') + 1);
    }
    return Step::kRefused;
  }
  if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED || !gnutls_error_is_fatal(rc)) {
    return Step::kAgain;
  }
  why = gnutls_strerror(rc);
  return Step::kFailed;
}

bool TlsTransport::wantsWrite() const { return gnutls_record_get_direction(session) == 1; }

long TlsTransport::send(const char* data, std::size_t size, std::string& why) {
  // After "try again", GnuTLS sends the record it already made when given no bytes.
  const ssize_t rc = retrying ? gnutls_record_send(session, nullptr, 0)
                              : gnutls_record_send(session, data, std::min(size, kRecord));
  retrying = rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED;
  if (rc >= 0) return static_cast<long>(rc);
  if (retrying) return -1;
  why = gnutls_strerror(static_cast<int>(rc));
  return -2;
}

long TlsTransport::receive(char* data, std::size_t size, std::string& why) {
  const ssize_t rc = gnutls_record_recv(session, data, size);
  if (rc >= 0) return static_cast<long>(rc);
  if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED) return -1;
  // A collector that ends the connection without TLS's closing alert has still ended it.
  if (rc == GNUTLS_E_PREMATURE_TERMINATION) return 0;
  why = gnutls_strerror(static_cast<int>(rc));
  return -2;
}

bool TlsTransport::pending() const { return gnutls_record_check_pending(session) > 0; }

void TlsTransport::bye() { gnutls_bye(session, GNUTLS_SHUT_WR); }

std::string TlsTransport::whyNotPinned() const {
  unsigned count = 0;
  const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
  gnutls_x509_crt_t certificate;
  if (!chain || count == 0 || gnutls_x509_crt_init(&certificate) < 0) return "it sent none";
  std::string presented = "unknown", why;
  bool pinned = false;
  if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) == 0) {
    for (const std::string& pin : pins) {
      presented = fingerprintOf(certificate, pin);
      pinned = pinned || presented == pin;
    }
    why = TlsCredentials::whyNotValid(certificate, std::time(nullptr));
    if (!why.empty()) why = "the pinned certificate " + why;
  }
  gnutls_x509_crt_deinit(certificate);
  return pinned ? why : "its fingerprint is " + presented + ", not a pinned one";
}
