// udplog-recv's command line: the options, their defaults and the strict readers of their values.
//
// Options as GNU tools take them ("--port 4444", "--port=4444", see OptionParser).
// parse() either returns a complete set of options or exits: with the usage text or the version
// and status 0 for --help or --version, or with one line naming the option and the value it refused
// and status 2. A number is plain decimal digits within the option's range ("-1", "0x10", "1e30"
// for a count, "inf" or a blank are refused), so no later conversion can overflow.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "udplog-recv/reassembly/SenderFilter.h"

struct ReceiverOptions {
  std::string listen = "127.0.0.1";
  unsigned port = 4444;
  std::string output;         // "" standard output (unless forwarding), "-" standard output
  std::uint64_t count = 0;    // stop after this many lines; 0: no limit
  double idleSeconds = 0;     // stop after this long without a datagram; 0: no limit
  double timeoutSeconds = 5;  // drop a line still incomplete after this long
  std::string forward;        // "tcp://HOST:PORT" or "relp://HOST:PORT" of a syslog target, or ""
  // RELP in TLS: on with tlsCa or tlsFingerprints, one or the other; tlsPeer goes with tlsCa,
  // and tlsCert and tlsKey go together.
  std::string tlsCa;                         // the CA that signed the target's certificate
  std::vector<std::string> tlsFingerprints;  // "SHA256:AB:...": the target's certificates
  std::string tlsCert;  // our own certificate and its key, for targets that ask for one
  std::string tlsKey;
  std::string tlsPeer;    // the name the target's certificate must hold; "" the target's host
  int relpWindow = 1024;  // RELP: lines sent and not yet acknowledged, at most
  unsigned forwardTimeoutSeconds = 5;          // the longest wait for the target
  std::uint64_t backlogLines = 100000;         // lines held for the target at most
  std::uint64_t backlogBytes = 64u << 20;      // their bytes at most
  std::uint64_t maxLineBytes = 1u << 20;       // a message the target takes, at most
  std::uint64_t maxSenders = 1024;             // streams kept at once
  std::vector<SenderFilter::Network> allow;    // empty: every sender
  std::uint64_t maxPendingBytes = 256u << 20;  // parts of incomplete lines held, over all senders
  std::uint64_t maxSenderBytes = 0;            // of those, by one sender address; 0: an eighth
  std::string metricsFile;                     // "": none
  double metricsSeconds = 15;                  // between metrics writes
  double lingerSeconds = 5;   // time left at the end to hand the backlog to the target
  bool hasSeparator = false;  // show the lines' vertical tabs as separator
  char separator = 0;
  std::string relpOption;  // the last --relp- option given, which only a relp:// target reads
  std::vector<std::string> warnings;  // what check() changed, for the run to say

  // Longest --idle, --timeout or --linger: about 11.5 days.
  static constexpr double kMaxSeconds = 1e6;
  // Least --max-pending-bytes or --max-sender-bytes: room for a line's largest part and more.
  static constexpr std::uint64_t kMinBytes = 64u << 10;

  static ReceiverOptions parse(int argc, char** argv);
  static const char* usage();

 private:
  void read(int argc, char** argv);
  void check();
};
