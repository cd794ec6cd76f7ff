// The TLS files of a relp:// target, read once before the first line: the CA file as a bundle
// (roots that are expired or not yet valid are left out, and note() says how many), and our own
// certificate and key, checked to belong together. The forwarder owns it; after load() its
// thread alone uses it, for each session's handshake.
#pragma once

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <ctime>
#include <string>

#include "udplog-recv/forward/ForwardResult.h"

class TlsCredentials final {
 public:
  TlsCredentials();
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // Reads the files; caFile "" for pinned certificates, certFile and keyFile both "" or both set.
  // A failure names the file: missing or unreadable, holding no usable certificate, a key that
  // is not the certificate's.
  ForwardResult load(const std::string& caFile, const std::string& certFile,
                     const std::string& keyFile);
  // One line about the CA file worth saying when all went well ("the CA file F holds 3 roots
  // that are expired or not yet valid: left out"); "" when there is none.
  const std::string& note() const { return notice; }

  gnutls_certificate_credentials_t get() const { return credentials; }

  // Whether a certificate may be used at now; fatal with why not ("expired on 2020-02-01
  // 00:00:00 UTC", "is not valid before ...") otherwise.
  static ForwardResult validAt(gnutls_x509_crt_t certificate, std::time_t now);

 private:
  ForwardResult loadCa(const std::string& caFile);
  ForwardResult loadOwn(const std::string& certFile, const std::string& keyFile);

  gnutls_certificate_credentials_t credentials = nullptr;
  std::string notice;
};
