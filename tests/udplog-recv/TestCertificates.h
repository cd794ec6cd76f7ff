// Certificates for RELP in TLS, made with GnuTLS's certtool in a folder of the caller's: a CA
// ("ca"), the target's for target.test ("server", and "expired", valid only in January
// 2020), ours for client.test ("client"), a CA that signed none of them ("other") and one valid
// only in January 2020 ("oldca"). Each is NAME.pem with its key NAME.key.
#pragma once

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"

namespace testsupport {

class TestCertificates {
 public:
  static constexpr const char* kCerttool = "/usr/bin/certtool";
  static constexpr const char* kTargetName = "target.test";
  static constexpr const char* kClientName = "client.test";

  static bool available() { return ::access(kCerttool, X_OK) == 0; }

  // Makes them all; error says what failed, empty when every one was made.
  explicit TestCertificates(const std::string& theDir) : dir(theDir) {
    make("ca", "", "cn = \"Test CA\"\nca\ncert_signing_key\nexpiration_days = 30\n");
    make("other", "", "cn = \"Other CA\"\nca\ncert_signing_key\nexpiration_days = 30\n");
    make("oldca", "",
         "cn = \"Old CA\"\nca\ncert_signing_key\nactivation_date = \"2020-01-01 00:00:00\"\n"
         "expiration_date = \"2020-02-01 00:00:00\"\n");
    const std::string server =
        "cn = \"target.test\"\ndns_name = \"target.test\"\n"
        "tls_www_server\nsigning_key\nencryption_key\n";
    make("server", "ca", server + "expiration_days = 30\n");
    make("expired", "ca",
         server +
             "activation_date = \"2020-01-01 00:00:00\"\nexpiration_date = \"2020-02-01 "
             "00:00:00\"\n");
    make("client", "ca",
         "cn = \"client.test\"\ndns_name = \"client.test\"\ntls_www_client\nsigning_key\n"
         "encryption_key\nexpiration_days = 30\n");
  }

  std::string pem(const std::string& name) const { return dir + "/" + name + ".pem"; }
  std::string key(const std::string& name) const { return dir + "/" + name + ".key"; }
  // NAME.pem's SHA-256 fingerprint as certtool prints it ("sha256:0b40..."); "" if it could not.
  std::string fingerprint(const std::string& name) const {
    std::string out;
    if (run(kCerttool, {"-i", "--infile", pem(name)}, &out) != 0) return "";
    const std::size_t at = out.find("sha256:", out.find("Fingerprint:"));
    return at == std::string::npos ? "" : out.substr(at, 7 + 64);
  }
  const std::string& error() const { return failure; }

 private:
  // name.key and name.pem, signed by signer (self-signed when "").
  void make(const std::string& name, const std::string& signer, const std::string& tmpl) {
    if (!failure.empty()) return;
    const std::string templateFile = dir + "/" + name + ".tmpl";
    std::ofstream(templateFile) << tmpl;
    std::string err;
    if (run(kCerttool, {"--generate-privkey", "--key-type=ecdsa", "--outfile", key(name)}, nullptr,
            &err) != 0) {
      failure = "certtool could not make the key " + key(name) + ": " + err;
      return;
    }
    std::vector<std::string> args{"--load-privkey", key(name),   "--template",
                                  templateFile,     "--outfile", pem(name)};
    if (signer.empty()) {
      args.insert(args.begin(), "--generate-self-signed");
    } else {
      args.insert(args.begin(), {"--generate-certificate", "--load-ca-certificate", pem(signer),
                                 "--load-ca-privkey", key(signer)});
    }
    if (run(kCerttool, args, nullptr, &err) != 0) {
      failure = "certtool could not make " + pem(name) + ": " + err;
    }
  }

  const std::string dir;
  std::string failure;
};

}  // namespace testsupport
