#include "udplog-recv/forward/TlsCredentials.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

std::string dateOf(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

// The certificates of a PEM file, freed with it.
struct Certificates {
  gnutls_x509_crt_t* list = nullptr;
  unsigned count = 0;
  ~Certificates() {
    for (unsigned i = 0; i < count; ++i) gnutls_x509_crt_deinit(list[i]);
    gnutls_free(list);
  }
};

ForwardResult readPem(const std::string& what, const std::string& path, Certificates& out) {
  if (::access(path.c_str(), R_OK) != 0) {
    return ForwardResult::fatal("cannot read the " + what + " " + path + ": " +
                                std::strerror(errno) + " (give a readable PEM file)");
  }
  gnutls_datum_t data{};
  if (gnutls_load_file(path.c_str(), &data) < 0) {
    return ForwardResult::fatal("cannot read the " + what + " " + path +
                                " (give a readable PEM file)");
  }
  const int rc = gnutls_x509_crt_list_import2(&out.list, &out.count, &data, GNUTLS_X509_FMT_PEM, 0);
  gnutls_free(data.data);
  if (rc < 0 || out.count == 0) {
    return ForwardResult::fatal("the " + what + " " + path + " holds no PEM certificate: " +
                                (rc < 0 ? gnutls_strerror(rc) : "none found") +
                                " (give a PEM file)");
  }
  return ForwardResult::success();
}

}  // namespace

ForwardResult TlsCredentials::validAt(gnutls_x509_crt_t certificate, std::time_t now) {
  const std::time_t from = gnutls_x509_crt_get_activation_time(certificate);
  const std::time_t until = gnutls_x509_crt_get_expiration_time(certificate);
  if (until != static_cast<std::time_t>(-1) && until < now) {
    return ForwardResult::fatal("expired on " + dateOf(until));
  }
  if (from != static_cast<std::time_t>(-1) && from > now) {
    return ForwardResult::fatal("is not valid before " + dateOf(from));
  }
  return ForwardResult::success();
}

TlsCredentials::TlsCredentials() {
  if (gnutls_certificate_allocate_credentials(&credentials) != GNUTLS_E_SUCCESS) {
    credentials = nullptr;  // load() says so
  }
}

TlsCredentials::~TlsCredentials() {
  if (credentials) gnutls_certificate_free_credentials(credentials);
}

ForwardResult TlsCredentials::load(const std::string& caFile, const std::string& certFile,
                                   const std::string& keyFile) {
  if (!credentials) return ForwardResult::fatal("cannot set TLS up: out of memory");
  if (!caFile.empty()) {
    if (ForwardResult ca = loadCa(caFile); !ca.ok()) return ca;
  }
  if (certFile.empty()) return ForwardResult::success();
  return loadOwn(certFile, keyFile);
}

ForwardResult TlsCredentials::loadCa(const std::string& caFile) {
  Certificates all;
  if (ForwardResult read = readPem("CA file", caFile, all); !read.ok()) return read;
  const std::time_t now = std::time(nullptr);
  std::vector<gnutls_x509_crt_t> usable;
  std::string lastWhy;
  for (unsigned i = 0; i < all.count; ++i) {
    const ForwardResult valid = validAt(all.list[i], now);
    if (valid.ok()) {
      usable.push_back(all.list[i]);
    } else {
      lastWhy = valid.cause();
    }
  }
  const std::size_t skipped = all.count - usable.size();
  if (usable.empty()) {
    return ForwardResult::fatal("the CA file " + caFile + " holds no certificate valid now: " +
                                (all.count == 1 ? "it " : "the last one ") + lastWhy +
                                " (renew it, or check the clock)");
  }
  const int rc = gnutls_certificate_set_x509_trust(credentials, usable.data(),
                                                   static_cast<int>(usable.size()));
  if (rc < 0) {
    return ForwardResult::fatal("cannot use the CA file " + caFile + ": " + gnutls_strerror(rc) +
                                " (give a PEM file of CA certificates)");
  }
  if (skipped > 0) {
    notice = "the CA file " + caFile + " holds " + std::to_string(skipped) + " of " +
             std::to_string(all.count) +
             " certificates that are expired or not yet valid: they are left out";
  }
  return ForwardResult::success();
}

ForwardResult TlsCredentials::loadOwn(const std::string& certFile, const std::string& keyFile) {
  {
    Certificates own;
    if (ForwardResult read = readPem("certificate", certFile, own); !read.ok()) return read;
    if (const ForwardResult valid = validAt(own.list[0], std::time(nullptr)); !valid.ok()) {
      return ForwardResult::fatal("the certificate " + certFile + " " + valid.cause() +
                                  " (renew it, or check the clock)");
    }
  }
  if (::access(keyFile.c_str(), R_OK) != 0) {
    return ForwardResult::fatal("cannot read the key " + keyFile + ": " + std::strerror(errno) +
                                " (give a readable PEM key)");
  }
  const int rc = gnutls_certificate_set_x509_key_file(credentials, certFile.c_str(),
                                                      keyFile.c_str(), GNUTLS_X509_FMT_PEM);
  if (rc == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
    return ForwardResult::fatal("the key " + keyFile + " does not belong to the certificate " +
                                certFile + " (give the key the certificate was made for)");
  }
  if (rc < 0) {
    return ForwardResult::fatal("cannot use the key " + keyFile + " with the certificate " +
                                certFile + ": " + gnutls_strerror(rc) + " (give a PEM key)");
  }
  return ForwardResult::success();
}
