#include "udplog-recv/ReceiverOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#include "logger/Version.h"
#include "logger/core/DecimalText.h"
#include "platform/OptionParser.h"
#include "platform/ShownValue.h"

namespace {

const char kUsage[] =
    "usage: udplog-recv [options]\n"
    "Receives the logger's UDP datagrams from any number of senders, reassembles each line and\n"
    "writes it, one per line, and/or forwards it to a syslog target.\n"
    "  --listen ADDR        IPv4 or IPv6 address to listen on (default 127.0.0.1)\n"
    "  --port N             UDP port (default 4444)\n"
    "  --output FILE        append the lines to FILE, created if missing (\"-\": standard\n"
    "                       output); the default is standard output, or nothing when forwarding\n"
    "  --count N            stop after N lines\n"
    "  --idle SECONDS       stop after SECONDS without a datagram, counted from the last one\n"
    "                       received (it waits for the first as long as it takes)\n"
    "  --timeout SECONDS    drop a line still incomplete SECONDS after its first part (default 5)\n"
    "  --forward tcp://HOST:PORT\n"
    "                       send every line to a syslog target (rsyslog's imtcp, say) as an\n"
    "                       RFC 5424 message with octet-counting framing; HOST may be a name,\n"
    "                       resolved at every connection attempt, or an IPv6 address in\n"
    "                       brackets, tcp://[::1]:514\n"
    "  --forward relp://HOST:PORT\n"
    "                       the same messages over RELP (rsyslog's imrelp): every line is held\n"
    "                       until the target acknowledged it and sent again on a new session\n"
    "                       when the old one broke first\n"
    "  --tls-ca FILE        RELP in TLS: the target's certificate must be signed by the CA in\n"
    "                       FILE (PEM) and hold the expected name; never falls back to plain text\n"
    "  --tls-peer NAME      the name expected in the target's certificate (default: HOST)\n"
    "  --tls-fingerprint SHA256:HEX\n"
    "                       RELP in TLS, instead of --tls-ca: the target's certificate must\n"
    "                       be this one (its SHA-256 or SHA-1 fingerprint, as `certtool -i`\n"
    "                       prints it, colons optional); repeatable, for the next certificate\n"
    "                       beside the current one\n"
    "  --tls-cert FILE      our own certificate (PEM), for a target that asks for one ...\n"
    "  --tls-key FILE       ... and its private key\n"
    "  --relp-window N      RELP: lines sent and not yet acknowledged, at most (1 to 65535,\n"
    "                       default 1024)\n"
    "  --forward-timeout SECONDS\n"
    "                       the longest wait for the target, whole seconds (1 to 3600, default\n"
    "                       5): to look up its name, to connect to each of its addresses, for\n"
    "                       the TLS handshake and the RELP open, for an answer while lines are\n"
    "                       unacknowledged, for the close; over tcp:// also how long the\n"
    "                       target's kernel may leave written lines unacknowledged. Past it\n"
    "                       the connection or session is taken as broken\n"
    "  --relp-timeout SECONDS\n"
    "                       the same as --forward-timeout, for a relp:// target\n"
    "  --backlog N          lines held for the target at most, wherever they wait: not yet\n"
    "                       sent, sent on a session that broke, or unanswered in the RELP\n"
    "                       window (default 100000); past it the oldest not in a live window\n"
    "                       are dropped and counted\n"
    "  --backlog-bytes SIZE the bytes of those lines at most (default 64M; a RELP window's\n"
    "                       lines count twice, as messages and as frames being written)\n"
    "  --max-line-bytes SIZE\n"
    "                       the largest message the target takes, header and line (default\n"
    "                       1M, at least 1K; rsyslog's own default maxMessageSize is 8K): a\n"
    "                       longer one is refused here, counted and never sent\n"
    "  --linger SECONDS     time given at the end to hand the backlog over (default 5) and, over\n"
    "                       RELP, to wait for the acknowledgements, reconnecting while lines are\n"
    "                       unacknowledged\n"
    "  --max-senders N      sender streams kept at once (default 1024); past it the stream heard\n"
    "                       from longest ago is closed, its incomplete lines counted\n"
    "  --allow NET          take datagrams only from NET, an address or address/prefix\n"
    "                       (10.1.0.0/16, ::1); repeatable, an IPv4 rule also matches the\n"
    "                       IPv4-mapped IPv6 form. Other datagrams are refused: not read,\n"
    "                       counted per /24 (IPv4) or /64 (IPv6) network. By default every\n"
    "                       sender is accepted\n"
    "  --max-pending-bytes SIZE\n"
    "                       bytes of incomplete lines held over all senders (default 256M);\n"
    "                       past it the oldest line of the sender holding most is dropped\n"
    "  --max-sender-bytes SIZE\n"
    "                       bytes of incomplete lines held for one sender address, all its\n"
    "                       ports together (default an eighth of --max-pending-bytes); past it\n"
    "                       that sender's oldest line is dropped and counted incomplete. SIZE\n"
    "                       is bytes, or with K, M or G (1024, 1024^2, 1024^3), at least 64K\n"
    "  --metrics-file PATH  write the counts in the Prometheus text format to PATH (replaced\n"
    "                       whole each time, for node_exporter's textfile collector), every\n"
    "                       interval and at the end\n"
    "  --metrics-interval SECONDS\n"
    "                       seconds between metrics writes (default 15)\n"
    "  -s, --separator C    show the vertical tabs between a line's fields as C (\"|\", say);\n"
    "                       by default lines are written as they came\n"
    "  -h, --help           this text\n"
    "  --version            the version\n"
    "Each sender (address and port) is its own stream of sequence numbers; a sender that starts\n"
    "over opens a new stream. Standard error reports lost, late, duplicate, conflicting and\n"
    "incomplete lines, jumps in the numbering, malformed and refused datagrams and datagrams\n"
    "dropped by the kernel, and a summary at the end (one line per sender when there are\n"
    "several); a report that repeats is printed 3 times, then counted, its count printed every\n"
    "10 s.\n"
    "SIGINT, SIGTERM or another signal that would end it (SIGUSR2, SIGALRM, ...) stops it\n"
    "cleanly; a second one ends it at once. SIGHUP reopens the --output file (after logrotate\n"
    "renamed it), SIGUSR1 prints the counts so far on standard error. Exit status: 0 done,\n"
    "1 failure in the run (the output or the metrics file could not be written, the port is\n"
    "in use or the address on no interface, lines were dropped, could not be forwarded or\n"
    "their delivery was not confirmed, a TLS certificate or key was refused), 2 configuration\n"
    "found wrong before the first line (usage, a --listen that is not an address, a port\n"
    "below 1024 without the capability).\n";

[[noreturn]] void usageError(const std::string& message) {
  throw OptionParser::UsageError(message);
}

std::uint64_t readWhole(const std::string& option, const std::string& text, std::uint64_t low,
                        std::uint64_t high) {
  std::uint64_t value = 0;
  bool ok = !text.empty();
  for (char c : text) {
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      ok = false;
      break;
    }
    value = value * 10 + digit;
  }
  if (!ok || value < low || value > high) {
    usageError(option + " " + shownValue(text) + " is not a whole number from " +
               std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

// Decimal seconds: digits with an optional fraction ("2", "0.25", ".5"); no sign, no exponent.
double readSeconds(const std::string& option, const std::string& text, double low) {
  const double value = decimalValue(text);
  if (!std::isfinite(value) || value < low || value > ReceiverOptions::kMaxSeconds) {
    char range[64];
    std::snprintf(range, sizeof(range), "%g to %.0f", low, ReceiverOptions::kMaxSeconds);
    usageError(option + " " + shownValue(text) + " is not a number of seconds from " + range);
  }
  return value;
}

// A certificate's fingerprint, "SHA256:" or "SHA1:" and its bytes in hexadecimal with or without
// colons, in the form the TLS transport compares: "SHA256:AB:01:...".
std::string readFingerprint(const std::string& option, const std::string& text) {
  const std::size_t colon = text.find(':');
  std::string digest = text.substr(0, colon), hex;
  for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::size_t bytes = digest == "SHA256" ? 32 : digest == "SHA1" ? 20 : 0;
  bool ok = bytes > 0 && colon != std::string::npos;
  for (std::size_t i = colon + 1; ok && i < text.size(); ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i]))) {
      hex += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    } else {
      ok = text[i] == ':' && hex.size() % 2 == 0 && !hex.empty() && text[i - 1] != ':';
    }
  }
  if (!ok || hex.size() != 2 * bytes || text.back() == ':') {
    usageError(option + " " + shownValue(text) +
               " is not SHA256: or SHA1: and the certificate's fingerprint in hexadecimal");
  }
  std::string normal = digest;
  for (std::size_t i = 0; i < hex.size(); i += 2) normal += ":" + hex.substr(i, 2);
  return normal;
}

// Bytes: digits with an optional K, M or G (powers of 1024), "65536", "64K", "256M", from low.
std::uint64_t readSize(const std::string& option, const std::string& text,
                       std::uint64_t low = ReceiverOptions::kMinBytes) {
  static const std::uint64_t kMax = std::uint64_t{1} << 40;
  std::string digits = text;
  std::uint64_t unit = 1;
  if (!digits.empty()) {
    const char last = digits.back();
    const std::string units = "KMG";
    const std::size_t power = units.find(last);
    if (power != std::string::npos) {
      unit = std::uint64_t{1} << (10 * (power + 1));
      digits.pop_back();
    }
  }
  bool ok = !digits.empty() && digits.size() <= 13 &&
            digits.find_first_not_of("0123456789") == std::string::npos;
  const std::uint64_t number = ok ? std::stoull(digits) : 0;
  // Compared before the multiplication, which would wrap: 17179869185G is 2^64 + 1G.
  ok = ok && number <= kMax / unit;
  const std::uint64_t value = number * unit;
  if (!ok || value < low || value > kMax) {
    usageError(option + " " + shownValue(text) + " is not a size from " +
               (low == ReceiverOptions::kMinBytes ? "64K" : std::to_string(low >> 10) + "K") +
               " to 1024G (bytes, or with K, M or G)");
  }
  return value;
}

SenderFilter::Network readNetwork(const std::string& text) {
  SenderFilter::Network network;
  if (!SenderFilter::parse(text, network)) {
    usageError("--allow " + shownValue(text) +
               " is not an IPv4 or IPv6 address with an optional /prefix (10.1.0.0/16, ::1)");
  }
  return network;
}

[[noreturn]] void printUsage() {
  std::fputs(kUsage, stdout);
  std::exit(0);
}

[[noreturn]] void printVersion() {
  std::printf("udplog-recv %s\n", TARVO_LOGGER_VERSION);
  std::exit(0);
}

// Handlers that read an option's value into a field, refusing what does not fit.
auto textInto(std::string& field, const char* what) {
  return [&field, what](const std::string& name, const std::string& value) {
    if (value.empty()) usageError(name + " needs " + what);
    field = value;
  };
}
auto secondsInto(double& field, double low) {
  return [&field, low](const std::string& name, const std::string& value) {
    field = readSeconds(name, value, low);
  };
}
template <typename Field>
auto wholeInto(Field& field, std::uint64_t high) {
  return [&field, high](const std::string& name, const std::string& value) {
    field = static_cast<Field>(readWhole(name, value, 1, high));
  };
}
auto sizeInto(std::uint64_t& field, std::uint64_t low = ReceiverOptions::kMinBytes) {
  return [&field, low](const std::string& name, const std::string& value) {
    field = readSize(name, value, low);
  };
}

}  // namespace

const char* ReceiverOptions::usage() { return kUsage; }

// The options one by one, each read and checked by itself; check() weighs them together.
void ReceiverOptions::read(int argc, char** argv) {
  // A --relp- option is remembered, for the target that must come with it.
  auto relp = [this](auto read) {
    return [this, read](const std::string& name, const std::string& value) {
      read(name, value);
      relpOption = name;
    };
  };
  OptionParser parser;
  parser.flag("help", 'h', printUsage);
  parser.flag("version", '\0', printVersion);
  parser.value("separator", 's', [this](const std::string& name, const std::string& c) {
    if (c.size() != 1) usageError(name + " needs exactly one character, not " + shownValue(c));
    hasSeparator = true;
    separator = c[0];
  });
  parser.value("listen", '\0', [this](auto&, auto& value) { listen = value; });
  parser.value("port", '\0', wholeInto(port, 65535));
  parser.value("output", '\0', textInto(output, "a file name"));
  parser.value("count", '\0', wholeInto(count, UINT64_MAX));
  parser.value("idle", '\0', secondsInto(idleSeconds, 0));
  parser.value("timeout", '\0', secondsInto(timeoutSeconds, 0.001));
  parser.value("forward", '\0', [this](auto&, auto& value) { forward = value; });
  parser.value("tls-ca", '\0', textInto(tlsCa, "a value"));
  parser.value("tls-cert", '\0', textInto(tlsCert, "a value"));
  parser.value("tls-key", '\0', textInto(tlsKey, "a value"));
  parser.value("tls-peer", '\0', textInto(tlsPeer, "a value"));
  parser.value("tls-fingerprint", '\0', [this](auto& name, auto& value) {
    tlsFingerprints.push_back(readFingerprint(name, value));
  });
  parser.value("relp-window", '\0', relp(wholeInto(relpWindow, 65535)));
  parser.value("forward-timeout", '\0', wholeInto(forwardTimeoutSeconds, 3600));
  parser.value("relp-timeout", '\0', relp(wholeInto(forwardTimeoutSeconds, 3600)));
  parser.value("backlog", '\0', wholeInto(backlogLines, 100000000));
  parser.value("backlog-bytes", '\0', sizeInto(backlogBytes));
  parser.value("max-line-bytes", '\0', sizeInto(maxLineBytes, 1024));
  parser.value("linger", '\0', secondsInto(lingerSeconds, 0));
  parser.value("metrics-file", '\0', textInto(metricsFile, "a file name"));
  parser.value("metrics-interval", '\0', secondsInto(metricsSeconds, 0.001));
  parser.value("max-senders", '\0', wholeInto(maxSenders, 1000000));
  parser.value("allow", '\0', [this](auto&, auto& value) { allow.push_back(readNetwork(value)); });
  parser.value("max-pending-bytes", '\0', sizeInto(maxPendingBytes));
  parser.value("max-sender-bytes", '\0', sizeInto(maxSenderBytes));
  const std::vector<std::string> operands = parser.parse(argc, argv);
  if (!operands.empty()) {
    usageError("unexpected argument " + shownValue(operands.front()) +
               ": udplog-recv takes options only");
  }
}

ReceiverOptions ReceiverOptions::parse(int argc, char** argv) {
  ReceiverOptions options;
  try {
    options.read(argc, argv);
    options.check();
  } catch (const OptionParser::UsageError& e) {
    std::fprintf(stderr, "udplog-recv: %s; try --help\n", e.what());
    std::exit(2);
  }
  return options;
}

// The options that go together, or exclude each other; the default that depends on another.
void ReceiverOptions::check() {
  const bool pinned = !tlsFingerprints.empty();
  const bool tls =
      !tlsCa.empty() || !tlsCert.empty() || !tlsKey.empty() || !tlsPeer.empty() || pinned;
  const bool relp = forward.rfind("relp://", 0) == 0;
  if (tls && !relp) usageError("the --tls- options are for a --forward relp:// target");
  if (!relpOption.empty() && !relp) {
    usageError(relpOption + " is for a --forward relp:// target");
  }
  if (tls && tlsCa.empty() && !pinned) {
    usageError(
        "TLS needs --tls-ca, the CA that signed the target's certificate, or "
        "--tls-fingerprint");
  }
  if (pinned && (!tlsCa.empty() || !tlsPeer.empty())) {
    usageError(
        "--tls-fingerprint pins the target's certificate instead of checking it with "
        "--tls-ca and --tls-peer: give one or the other");
  }
  if (tlsCert.empty() != tlsKey.empty()) {
    usageError("--tls-cert and --tls-key go together");
  }
  if (maxSenderBytes > maxPendingBytes) {
    usageError("--max-sender-bytes " + std::to_string(maxSenderBytes) +
               " is more than --max-pending-bytes " + std::to_string(maxPendingBytes));
  }
  if (relp && static_cast<std::uint64_t>(relpWindow) > backlogLines) {
    warnings.push_back("--relp-window " + std::to_string(relpWindow) + " is more than --backlog " +
                       std::to_string(backlogLines) + ": the window is " +
                       std::to_string(backlogLines) + " lines");
    relpWindow = static_cast<int>(backlogLines);
  }
  if (maxSenderBytes == 0) {
    maxSenderBytes = std::max(maxPendingBytes / 8, kMinBytes);
  }
}
