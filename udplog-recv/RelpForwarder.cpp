#include "udplog-recv/RelpForwarder.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <memory>

extern "C" {
#include <librelp.h>
}

#include "udplog-recv/NameLookup.h"

namespace {

// The forwarder whose thread is calling into librelp: its hooks carry no pointer of ours.
thread_local void* current = nullptr;

// librelp's debug lines that tell the window's size: after a message went in or came out, and
// when a new session sends the old one's unacknowledged messages again.
constexpr const char* kAdded = "ADD sess %p unacked %d, sessState %d";
constexpr const char* kRemoved = "DEL sess %p unacked %d, sessState %d";
constexpr const char* kResending = "relp session %p reestablished, state %d, now resending %d";

// Lines taken from the backlog at once, so that the lock is not taken per line.
constexpr std::size_t kBatch = 256;

bool startsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

std::string dateOf(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

// The certificates of a PEM file; a failure when there are none or one is not valid now.
ForwardResult readCertificates(const std::string& what, const std::string& path) {
  if (::access(path.c_str(), R_OK) != 0) {
    return ForwardResult::failure("cannot read the " + what + " " + path + ": " +
                                  std::strerror(errno));
  }
  gnutls_datum_t data{};
  if (gnutls_load_file(path.c_str(), &data) < 0) {
    return ForwardResult::failure("cannot read the " + what + " " + path);
  }
  gnutls_x509_crt_t* list = nullptr;
  unsigned count = 0;
  const int rc = gnutls_x509_crt_list_import2(&list, &count, &data, GNUTLS_X509_FMT_PEM, 0);
  gnutls_free(data.data);
  if (rc < 0 || count == 0) {
    return ForwardResult::failure("the " + what + " " + path + " holds no PEM certificate: " +
                                  (rc < 0 ? gnutls_strerror(rc) : "none found"));
  }
  const std::time_t now = std::time(nullptr);
  ForwardResult result = ForwardResult::success();
  for (unsigned i = 0; i < count; ++i) {
    const std::time_t from = gnutls_x509_crt_get_activation_time(list[i]);
    const std::time_t until = gnutls_x509_crt_get_expiration_time(list[i]);
    if (result.ok() && until != static_cast<std::time_t>(-1) && until < now) {
      result = ForwardResult::failure("the " + what + " " + path + " expired on " + dateOf(until) +
                                      " (renew it)");
    } else if (result.ok() && from != static_cast<std::time_t>(-1) && from > now) {
      result = ForwardResult::failure("the " + what + " " + path + " is not valid before " +
                                      dateOf(from) + " (check the clock)");
    }
    gnutls_x509_crt_deinit(list[i]);
  }
  gnutls_free(list);
  return result;
}

// The codes with which librelp refuses the collector or the TLS set-up: trying again cannot help.
bool refused(int code) {
  switch (code) {
    case RELP_RET_ERR_TLS_SETUP:
    case RELP_RET_INVLD_TLS_PRIO:
    case RELP_RET_AUTH_ERR_FP:
    case RELP_RET_AUTH_ERR_NAME:
    case RELP_RET_AUTH_NO_CERT:
    case RELP_RET_AUTH_CERT_INVL:
    case RELP_RET_INVLD_AUTH_MD:
    case RELP_RET_INVLD_WILDCARD:
    case RELP_RET_ERR_NO_TLS:
    case RELP_RET_ERR_NO_TLS_AUTH:
      return true;
    default:
      return false;
  }
}

// Why the collector's certificate in the session is not a pinned one ("its fingerprint is
// SHA256:AB:01:..., not a pinned one") or, pinned, is not valid now; "" when it may be used.
std::string whyNotPinned(gnutls_session_t session, const std::vector<std::string>& fingerprints) {
  unsigned count = 0;
  const gnutls_datum_t* chain = gnutls_certificate_get_peers(session, &count);
  gnutls_x509_crt_t certificate;
  if (!chain || count == 0 || gnutls_x509_crt_init(&certificate) < 0) return "it sent none";
  std::string presented = "unknown", why;
  bool pinned = false;
  if (gnutls_x509_crt_import(certificate, &chain[0], GNUTLS_X509_FMT_DER) == 0) {
    // In the form librelp compares, in the digest of each pinned one.
    for (const std::string& fingerprint : fingerprints) {
      const bool sha1 = fingerprint.rfind("SHA1:", 0) == 0;
      unsigned char digest[64];
      std::size_t size = sizeof(digest);
      if (gnutls_x509_crt_get_fingerprint(certificate, sha1 ? GNUTLS_DIG_SHA1 : GNUTLS_DIG_SHA256,
                                          digest, &size) != 0) {
        continue;
      }
      presented = sha1 ? "SHA1" : "SHA256";
      static const char hex[] = "0123456789ABCDEF";
      for (std::size_t i = 0; i < size; ++i) {
        presented += ':';
        presented += hex[digest[i] >> 4];
        presented += hex[digest[i] & 15];
      }
      pinned = pinned || presented == fingerprint;
    }
    const std::time_t now = std::time(nullptr);
    const std::time_t from = gnutls_x509_crt_get_activation_time(certificate);
    const std::time_t until = gnutls_x509_crt_get_expiration_time(certificate);
    if (pinned && until != static_cast<std::time_t>(-1) && until < now) {
      why = "the pinned certificate expired on " + dateOf(until);
    } else if (pinned && from != static_cast<std::time_t>(-1) && from > now) {
      why = "the pinned certificate is not valid before " + dateOf(from);
    }
  }
  gnutls_x509_crt_deinit(certificate);
  return pinned ? why : "its fingerprint is " + presented + ", not a pinned one";
}

// A TLS handshake of our own with the collector, each wait for it at most seconds long: librelp's
// handshake waits without end for a collector that took the connection and never answers (a
// stopped process, a port that does not speak TLS first). False when the collector gave no
// answer in time, why then saying so. Otherwise why holds the reason the collector's
// certificate is refused, in GnuTLS's words ("The certificate chain uses expired certificate.")
// or, pinned, naming its fingerprint; "" when it passed or the handshake failed otherwise
// (librelp will say how).
bool handshake(const NameLookup::Address& address, const RelpForwarder::Tls& tls,
               const std::string& peer, unsigned seconds, std::string& why) {
  why.clear();
  // SOCK_CLOEXEC (Linux-only): closed on exec, set in the same call that makes the socket.
  const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  const timeval limit{static_cast<time_t>(seconds), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  bool answered = true;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    if (!tls.caFile.empty()) {
      gnutls_certificate_set_x509_trust_file(credentials, tls.caFile.c_str(), GNUTLS_X509_FMT_PEM);
    }
    if (!tls.certFile.empty()) {
      gnutls_certificate_set_x509_key_file(credentials, tls.certFile.c_str(), tls.keyFile.c_str(),
                                           GNUTLS_X509_FMT_PEM);
    }
    gnutls_session_t session;
    gnutls_init(&session, GNUTLS_CLIENT);
    gnutls_set_default_priority(session);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_transport_set_int(session, fd);
    int rc;
    do {
      rc = gnutls_handshake(session);
      // A wait past the socket's time limit comes back as "try again": the collector is silent.
      if (rc == GNUTLS_E_AGAIN) {
        answered = false;
        why = "no answer to the TLS handshake within " + std::to_string(seconds) +
              " s (the collector accepted the connection: is it stopped, or not RELP in TLS?)";
      }
    } while (rc < 0 && answered && !gnutls_error_is_fatal(rc));
    unsigned status = 0;
    if (rc == 0 && !tls.fingerprints.empty()) {
      why = whyNotPinned(session, tls.fingerprints);
    } else if (rc == 0 && gnutls_certificate_verify_peers3(session, peer.c_str(), &status) == 0 &&
               status != 0) {
      gnutls_datum_t text{};
      if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0) {
        why.assign(reinterpret_cast<const char*>(text.data), text.size);
        gnutls_free(text.data);
      }
    }
    gnutls_deinit(session);
    gnutls_certificate_free_credentials(credentials);
  }
  ::close(fd);
  return answered;
}

}  // namespace

ForwardResult RelpForwarder::checkTls(const Tls& tls) {
  if (!tls.caFile.empty()) {
    if (ForwardResult ca = readCertificates("CA file", tls.caFile); !ca.ok()) return ca;
  }
  if (tls.certFile.empty()) return ForwardResult::success();
  if (ForwardResult own = readCertificates("certificate", tls.certFile); !own.ok()) return own;
  if (::access(tls.keyFile.c_str(), R_OK) != 0) {
    return ForwardResult::failure("cannot read the key " + tls.keyFile + ": " +
                                  std::strerror(errno));
  }
  gnutls_certificate_credentials_t credentials;
  gnutls_certificate_allocate_credentials(&credentials);
  const int rc = gnutls_certificate_set_x509_key_file(credentials, tls.certFile.c_str(),
                                                      tls.keyFile.c_str(), GNUTLS_X509_FMT_PEM);
  gnutls_certificate_free_credentials(credentials);
  if (rc == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
    return ForwardResult::failure("the key " + tls.keyFile +
                                  " does not belong to the certificate " + tls.certFile +
                                  " (give the key the certificate was made for)");
  }
  if (rc < 0) {
    return ForwardResult::failure("cannot use the key " + tls.keyFile + " with the certificate " +
                                  tls.certFile + ": " + gnutls_strerror(rc));
  }
  return ForwardResult::success();
}

RelpForwarder::RelpForwarder(SyslogForwarder::Target target, Tls theTls, Limits theLimits)
    : destination(std::move(target)), tls(std::move(theTls)), limits(theLimits) {
  thread = std::thread([this] { run(); });
}

RelpForwarder::~RelpForwarder() {
  finish(Clock::now());
  thread.join();
}

void RelpForwarder::enqueue(const std::string& host, unsigned port, std::string_view line,
                            std::chrono::system_clock::time_point when) {
  std::string message = SyslogForwarder::message(host, port, line, when);
  MutexLock lock(mutex);
  while (!backlog.empty() &&
         (backlog.size() >= limits.maxLines || backlogBytes + message.size() > limits.maxBytes)) {
    backlogBytes -= backlog.front().size();
    backlog.pop_front();
    ++tally.dropped;
    if (!dropping) {
      dropping = true;
      reports.push_back("forward: the backlog for " + destination.text + " is full (" +
                        std::to_string(limits.maxLines) + " lines or " +
                        std::to_string(limits.maxBytes >> 20) + " MiB): dropping the oldest lines");
    }
  }
  backlogBytes += message.size();
  const bool wasEmpty = backlog.empty();
  backlog.push_back(std::move(message));
  ++tally.held;
  if (wasEmpty) wake.notify_one();
}

void RelpForwarder::finish(Clock::time_point theDeadline) {
  MutexLock lock(mutex);
  if (!finishing || theDeadline < deadline) deadline = theDeadline;
  finishing = true;
  wake.notify_one();
  done.wait(lock.waitable(), [this]() REQUIRES(mutex) { return finished; });
}

std::vector<std::string> RelpForwarder::takeReports() {
  MutexLock lock(mutex);
  std::vector<std::string> out;
  out.swap(reports);
  return out;
}

std::string RelpForwarder::fatal() const {
  MutexLock lock(mutex);
  return fatalError;
}

RelpForwarder::Counts RelpForwarder::counts() const {
  MutexLock lock(mutex);
  return tally;
}

void RelpForwarder::report(const std::string& text) {
  MutexLock lock(mutex);
  reports.push_back(text);
}

void RelpForwarder::onDebug(char* format, ...) {
  auto* self = static_cast<RelpForwarder*>(current);
  if (!self || format[0] == '\0') return;
  Observed& seen = self->observed;
  const bool added = startsWith(format, kAdded);
  if (added || startsWith(format, kRemoved)) {
    va_list args;
    va_start(args, format);
    va_arg(args, void*);
    seen.unacked = va_arg(args, int);
    va_end(args);
    seen.seen = true;
    ++(added ? seen.added : seen.removed);
  } else if (startsWith(format, kResending)) {
    va_list args;
    va_start(args, format);
    va_arg(args, void*);
    va_arg(args, int);
    seen.resent = va_arg(args, int);
    va_end(args);
  }
}

void RelpForwarder::onError(void*, char*, char* message, int code) {
  auto* self = static_cast<RelpForwarder*>(current);
  if (!self) return;
  // The refusal of a certificate names the cause; what librelp says after it does not.
  if (self->observed.authError) return;
  self->observed.error = message ? message : "error " + std::to_string(code);
  if (refused(code)) self->observed.authError = true;
}

void RelpForwarder::onAuthError(void*, char* peer, char* message, int) {
  auto* self = static_cast<RelpForwarder*>(current);
  if (!self) return;
  self->observed.error =
      std::string(message ? message : "the collector was refused") +
      (peer && *peer ? " (the collector presented: " + std::string(peer) + ")" : "");
  self->observed.authError = true;
}

void RelpForwarder::onGenericError(char* object, char* message, int code) {
  onError(nullptr, object, message, code);
}

void RelpForwarder::run() {
  current = this;
  relpEngine_t* engine = nullptr;
  relpEngineConstruct(&engine);
  relpEngineSetDbgprint(engine, &RelpForwarder::onDebug);
  relpEngineSetOnErr(engine, &RelpForwarder::onError);
  relpEngineSetOnAuthErr(engine, &RelpForwarder::onAuthError);
  relpEngineSetOnGenericErr(engine, &RelpForwarder::onGenericError);
  relpEngineSetEnableCmd(engine, reinterpret_cast<unsigned char*>(const_cast<char*>("syslog")),
                         eRelpCmdState_Required);

  relpClt_t* client = nullptr;
  bool up = false;                   // the session is open
  bool opened = false;               // the client has had a session, which librelp re-establishes
  std::deque<std::string> batch;     // taken from the backlog, not yet handed over
  std::deque<std::string> inFlight;  // handed over, not yet acknowledged, oldest first
  std::uint64_t failedAttempts = 0;
  std::chrono::milliseconds backoff = limits.firstBackoff;
  Clock::time_point nextAttempt = Clock::now();
  std::string fatal;
  Counts local;  // acknowledged, sentAgain and sessions, published under the lock
  const std::string peer = tls.peerName.empty() ? destination.host : tls.peerName;
  NameLookup lookup;

  auto makeClient = [&]() -> bool {
    relpEngineCltConstruct(engine, &client);
    relpCltSetWindowSize(client, limits.window);
    relpCltSetTimeout(client, limits.timeoutSeconds);
    if (!tls.on()) return true;
    int rc = relpCltEnableTLS(client);
    if (rc == RELP_RET_OK && !tls.caFile.empty()) {
      rc = relpCltSetCACert(client, const_cast<char*>(tls.caFile.c_str()));
    }
    if (rc == RELP_RET_OK && !tls.certFile.empty()) {
      rc = relpCltSetOwnCert(client, const_cast<char*>(tls.certFile.c_str()));
      if (rc == RELP_RET_OK) rc = relpCltSetPrivKey(client, const_cast<char*>(tls.keyFile.c_str()));
    }
    const bool pinned = !tls.fingerprints.empty();
    if (rc == RELP_RET_OK) {
      rc = relpCltSetAuthMode(client, const_cast<char*>(pinned ? "fingerprint" : "name"));
    }
    for (const std::string& permitted :
         pinned ? tls.fingerprints : std::vector<std::string>{peer}) {
      if (rc == RELP_RET_OK) {
        rc = relpCltAddPermittedPeer(client, const_cast<char*>(permitted.c_str()));
      }
    }
    if (rc != RELP_RET_OK) {
      fatal = "cannot set up TLS for " + destination.text + ": " +
              (observed.error.empty() ? "librelp error " + std::to_string(rc) : observed.error);
    }
    return rc == RELP_RET_OK;
  };

  // Acknowledged: the oldest lines in flight beyond what librelp still holds.
  auto settle = [&] {
    while (inFlight.size() > static_cast<std::size_t>(std::max(observed.unacked, 0))) {
      inFlight.pop_front();
      ++local.acknowledged;
    }
  };

  auto failed = [&](const std::string& why) {
    const bool wasUp = up;
    up = false;
    if (wasUp) backoff = limits.firstBackoff;
    nextAttempt = Clock::now() + backoff;
    backoff = std::min(backoff * 2, limits.maxBackoff);
    if (wasUp || failedAttempts == 0) {
      report("forward: " + destination.text + ": " + why + " (retrying; " +
             std::to_string(inFlight.size()) + " unacknowledged lines are held for the next " +
             "session, and at most " + std::to_string(limits.maxLines) + " waiting lines)");
    }
    if (!wasUp) ++failedAttempts;
  };

  auto connect = [&] {
    observed.error.clear();
    observed.authError = false;
    observed.resent = 0;
    // In TLS, a handshake of our own first, bounded in time where librelp's is not; it also
    // gives the reason when librelp refuses the collector's certificate.
    // The name is resolved at every attempt, for at most the session's time-out.
    if (lookup.start(destination.host, destination.port) == NameLookup::Status::kPending) {
      lookup.wait(Clock::now() + std::chrono::seconds(limits.timeoutSeconds));
    }
    if (lookup.status() != NameLookup::Status::kResolved) {
      failed("cannot resolve " + destination.host + ": " +
             (lookup.error().empty() ? "no answer from the resolver in time" : lookup.error()));
      return;
    }
    const NameLookup::Address& address = lookup.addresses().front();
    std::string verdict;
    if (tls.on() && !handshake(address, tls, peer, limits.timeoutSeconds, verdict)) {
      failed(verdict);
      return;
    }
    // Pinned, librelp compares the fingerprint only: an expired certificate is refused here.
    if (!tls.fingerprints.empty() && !verdict.empty()) {
      fatal = "forward: " + destination.text +
              ": TLS: the collector's certificate was refused: " + verdict +
              " (pinned: " + tls.fingerprints.front() +
              (tls.fingerprints.size() > 1 ? " and others)" : ")") + "; nothing more is sent";
      return;
    }
    int rc;
    if (opened) {
      rc = relpCltReconnect(client);
    } else {
      if (!client && !makeClient()) return;
      rc = relpCltConnect(
          client, address.storage.ss_family == AF_INET6 ? AF_INET6 : AF_INET,
          reinterpret_cast<unsigned char*>(const_cast<char*>(destination.port.c_str())),
          reinterpret_cast<unsigned char*>(const_cast<char*>(destination.host.c_str())));
    }
    const std::string why = observed.error.empty() ? "cannot open a RELP session (librelp error " +
                                                         std::to_string(rc) + ")"
                                                   : observed.error;
    if (rc != RELP_RET_OK && (observed.authError || refused(rc))) {
      std::string cause = why;
      if (!verdict.empty()) {
        cause = "the collector's certificate was refused: " +
                verdict.substr(0, verdict.find_last_not_of(' ') + 1) + " (CA file " + tls.caFile +
                ", expected name " + peer + ")";
      }
      fatal = "forward: " + destination.text + ": TLS: " + cause + "; nothing more is sent";
      return;
    }
    if (rc != RELP_RET_OK) {
      if (!opened) relpEngineCltDestruct(engine, &client);  // a fresh one for the next attempt
      failed(why);
      return;
    }
    if (!observed.seen) {
      fatal = "forward: " + destination.text +
              ": this librelp does not report its window of unacknowledged messages, so no line "
              "could be confirmed (librelp 1.11 does; or use a tcp:// target)";
      return;
    }
    up = true;
    ++local.sessions;
    local.sentAgain += static_cast<std::uint64_t>(std::max(observed.resent, 0));
    if (failedAttempts > 0 || opened) {
      report("forward: connected to " + destination.text + " again after " +
             std::to_string(failedAttempts) + " failed attempts; " +
             std::to_string(observed.resent) + " unacknowledged lines sent again");
    }
    opened = true;
    failedAttempts = 0;
    backoff = limits.firstBackoff;
    settle();
  };

  for (;;) {
    enum class Step { kConnect, kSend, kEnd } step;
    {
      MutexLock lock(mutex);
      tally.acknowledged = local.acknowledged;
      tally.sentAgain = local.sentAgain;
      tally.sessions = local.sessions;
      tally.held = backlog.size() + batch.size() + inFlight.size();
      if (!fatal.empty() && fatalError.empty()) fatalError = fatal;
      for (;;) {
        if (batch.empty() && !backlog.empty()) {
          while (!backlog.empty() && batch.size() < kBatch) {
            backlogBytes -= backlog.front().size();
            batch.push_back(std::move(backlog.front()));
            backlog.pop_front();
          }
          if (backlog.empty()) dropping = false;
        }
        const Clock::time_point now = Clock::now();
        // At the end, closing the open session collects the acknowledgements; a broken one is
        // re-established first, for librelp to send its unacknowledged lines again.
        const bool handedOver = batch.empty() && (up || inFlight.empty());
        if (!fatal.empty() || (finishing && (now >= deadline || handedOver))) {
          step = Step::kEnd;
          break;
        }
        if (!up && now >= nextAttempt) {
          step = Step::kConnect;
          break;
        }
        if (up && !batch.empty()) {
          step = Step::kSend;
          break;
        }
        if (!up) {
          wake.wait_until(lock.waitable(),
                          finishing ? std::min(nextAttempt, deadline) : nextAttempt);
        } else if (finishing) {
          wake.wait_until(lock.waitable(), deadline);
        } else {
          wake.wait(lock.waitable());
        }
      }
    }
    if (step == Step::kEnd) break;
    if (step == Step::kConnect) {
      connect();
      continue;
    }
    // Hand the batch over while the session holds.
    while (up && !batch.empty()) {
      const std::uint64_t added = observed.added;
      observed.error.clear();
      std::string& message = batch.front();
      const int rc =
          relpCltSendSyslog(client, reinterpret_cast<unsigned char*>(&message[0]), message.size());
      // A message that found the session broken did not go into the window: it goes again.
      if (rc == RELP_RET_OK || observed.added != added) {
        inFlight.push_back(std::move(message));
        batch.pop_front();
      }
      settle();
      if (rc != RELP_RET_OK) {
        failed(observed.error.empty()
                   ? "the RELP session broke (librelp error " + std::to_string(rc) + ")"
                   : observed.error);
      }
    }
  }

  // Closing the session waits for the acknowledgement of everything in flight: librelp removes
  // each acknowledged message from its window, and the close command's own answer comes last.
  if (client) {
    const std::uint64_t removed = observed.removed;
    relpEngineCltDestruct(engine, &client);
    if (up) {
      const std::uint64_t answered =
          std::min<std::uint64_t>(observed.removed - removed, inFlight.size());
      inFlight.erase(inFlight.begin(), inFlight.begin() + static_cast<std::ptrdiff_t>(answered));
      local.acknowledged += answered;
    }
  }
  relpEngineDestruct(&engine);
  current = nullptr;

  MutexLock lock(mutex);
  tally.acknowledged = local.acknowledged;
  tally.sentAgain = local.sentAgain;
  tally.sessions = local.sessions;
  tally.neverSent = backlog.size() + batch.size();
  tally.unacknowledged = tally.neverSent + inFlight.size();
  tally.held = tally.unacknowledged;
  if (!fatal.empty() && fatalError.empty()) fatalError = fatal;
  finished = true;
  done.notify_all();
}
