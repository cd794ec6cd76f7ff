// A RELP session against a scripted target on a fake clock: the bytes on the wire, the answers,
// the target's refusals and garbage, and every time-out to the millisecond, without a socket or
// a sleep.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/udplog-recv/TestCertificates.h"
#include "tests/udplog-recv/forward/ScriptedConnection.h"
#include "udplog-recv/forward/RelpSession.h"
#include "udplog-recv/forward/TlsCredentials.h"

namespace {

using testsupport::ConnectionScript;
using Reply = ConnectionScript::Reply;
using std::chrono::milliseconds;

constexpr const char* kOpenFrame =
    "1 open 56 relp_version=0\nrelp_software=udplog-recv\ncommands=syslog\n";
constexpr const char* kWelcome = "200 OK\nrelp_version=0\nrelp_software=t\ncommands=syslog";

// No stop: every address gets its time-out.
const std::function<RelpSession::Clock::time_point()> kNoStop = [] {
  return RelpSession::Clock::time_point::max();
};

// A frame of the target's, as RELP has it on the wire.
std::string frame(std::uint64_t txnr, std::string_view command, std::string_view data) {
  std::string out;
  RelpFraming::frame(out, txnr, command, data);
  return out;
}

// A target that welcomes the session and answers every other frame with 200.
Reply welcoming(std::uint64_t txnr, std::string_view command, std::string_view) {
  if (command == "open") return {frame(txnr, "rsp", kWelcome)};
  return {frame(txnr, "rsp", "200 OK")};
}

struct Answer {
  std::uint64_t txnr;
  int code;
  std::string text;
};

class RelpSessionTest : public ::testing::Test {
 protected:
  // A session to 127.0.0.1:2514 over a scripted connection; TLS with credentials.
  std::unique_ptr<RelpSession> session(const TlsCredentials* credentials = nullptr) {
    RelpSession::Peer peer{&target, &lookup, 5, credentials, "target.test", {}};
    return std::make_unique<RelpSession>(peer,
                                         std::make_unique<testsupport::ScriptedConnection>(script));
  }
  // The cause when open() by start + 5 s fails, and the time it took on the fake clock.
  std::string failedOpen(RelpSession& relp, milliseconds& took) {
    const auto start = script.clock.now();
    const ForwardResult opened = relp.open(kNoStop);
    took = std::chrono::duration_cast<milliseconds>(script.clock.now() - start);
    EXPECT_TRUE(opened.isTransient()) << opened.cause();
    return opened.cause();
  }

  ForwardTarget target{"relp://127.0.0.1:2514", "127.0.0.1", "2514"};
  NameLookup lookup;
  ConnectionScript script;
  std::vector<Answer> answers;
  const RelpSession::OnAnswer onAnswer = [this](std::uint64_t txnr, int code,
                                                std::string_view text) {
    answers.push_back({txnr, code, std::string(text)});
  };
};

TEST_F(RelpSessionTest, SpeaksRelpByteForByteAndHandsOnEachAnswer) {
  // The target's answers as they are on the wire, written out rather than framed.
  script.reply = [](std::uint64_t txnr, std::string_view, std::string_view) {
    switch (txnr) {
      case 1:
        return Reply{"1 rsp 53 200 OK\nrelp_version=0\nrelp_software=t\ncommands=syslog\n"};
      case 2:
        return Reply{"2 rsp 6 200 OK\n"};
      case 3:
        return Reply{"3 rsp 13 500 no thanks\n"};
      default:
        return Reply{"4 rsp 6 200 OK\n"};
    }
  };
  auto relp = session();
  ASSERT_TRUE(relp->open(kNoStop).ok());
  EXPECT_EQ(kOpenFrame, script.written);

  EXPECT_EQ(2u, relp->send("<14>1 a line"));
  EXPECT_EQ(3u, relp->send("refuse me"));
  for (int round = 0; round < 3 && answers.size() < 2; ++round) {
    ASSERT_TRUE(
        relp->pump(relp->wait(script.clock.now() + std::chrono::seconds(1)), onAnswer).ok());
  }
  EXPECT_EQ(std::string(kOpenFrame) + "2 syslog 12 <14>1 a line\n3 syslog 9 refuse me\n",
            script.written);
  ASSERT_EQ(2u, answers.size());
  EXPECT_EQ(2u, answers[0].txnr);
  EXPECT_EQ(200, answers[0].code);
  EXPECT_EQ("OK", answers[0].text);
  EXPECT_EQ(500, answers[1].code);
  EXPECT_EQ("no thanks", answers[1].text);

  EXPECT_TRUE(relp->close(script.clock.now() + std::chrono::seconds(5), onAnswer).ok());
  EXPECT_EQ("4 close 0\n", script.written.substr(script.written.size() - 10));
}

TEST_F(RelpSessionTest, ARefusedOrUnfitOpenIsATransientFailureNamingTheAnswer) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"500 busy\nrelp_version=0", "the target refused the session: 500 'busy'"},
      {"OK\nrelp_version=0\ncommands=syslog",
       "the target answered the RELP open offer without a code: 'OK'"},
      {"2000 OK\ncommands=syslog", "the target refused the session: 2000 'OK'"},
      {std::string("200 \x1b[2J\r\a") + '\0' + "\xff" + std::string(200000, 'x'),
       "the target does not take syslog messages (its answer: 200 '\\x1b[2J\\x0d\\x07\\x00\xff" +
           std::string(92, 'x') + "'... (200008 bytes))"},
      {"200 OK\nrelp_version=0\ncommands=other",
       "the target does not take syslog messages (its answer: 200 'OK')"},
  };
  for (const auto& [answer, cause] : cases) {
    // The cause is one line, control bytes escaped, cut at 100 bytes; and no wait for an answer
    // that came.
    script.reply = [answer = answer](std::uint64_t txnr, std::string_view, std::string_view) {
      return Reply{frame(txnr, "rsp", answer)};
    };
    auto relp = session();
    milliseconds took{};
    EXPECT_EQ(cause, failedOpen(*relp, took));
    EXPECT_EQ(milliseconds(0), took) << "an answer that came at once is not a time-out";
  }
}

TEST_F(RelpSessionTest, ServercloseGarbageAndAClosedConnectionBreakASession) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {frame(0, "serverclose", ""), "the target ended the session (serverclose)"},
      {"HTTP/1.1 400 Bad Request\r\n\r\n", "the target sent no RELP: "},
      {frame(2, "syslog", "x"), "the target sent a command a client does not take: syslog"},
      {"", "the target closed the connection"},
  };
  for (const auto& [bytes, cause] : cases) {
    script.closeAfterFrames = bytes.empty() ? 2 : -1;
    script.reply = [bytes = bytes](std::uint64_t txnr, std::string_view command,
                                   std::string_view data) {
      if (command == "open") return welcoming(txnr, command, data);
      return Reply{bytes};
    };
    auto relp = session();
    ASSERT_TRUE(relp->open(kNoStop).ok()) << cause;
    (void)relp->send("a line");
    ForwardResult pumped = ForwardResult::success();
    for (int round = 0; round < 3 && pumped.ok(); ++round) {
      pumped = relp->pump(relp->wait(script.clock.now() + std::chrono::seconds(1)), onAnswer);
    }
    EXPECT_TRUE(pumped.isTransient()) << cause;
    EXPECT_EQ(0u, pumped.cause().rfind(cause, 0)) << pumped.cause();
  }
  EXPECT_TRUE(answers.empty());
}

TEST_F(RelpSessionTest, AnAnswersCodeIsTheWholeNumberItBeginsWith) {
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"200 OK", 200, "OK"},
      {"200", 200, ""},
      {"200\nmore", 200, "\nmore"},
      {"2000 odd", 2000, "odd"},
      {"2001 this is no 200", 2001, "this is no 200"},
      {"OK", -1, "OK"},
      {"200x", -1, "200x"},
      {"1234567890 long", -1, "1234567890 long"},
  };
  std::string answersBytes;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    answersBytes += frame(i + 2, "rsp", std::get<0>(cases[i]));
  }
  script.reply = [&](std::uint64_t txnr, std::string_view command, std::string_view data) {
    return command == "open" ? welcoming(txnr, command, data)
                             : Reply{txnr == cases.size() + 1 ? answersBytes : ""};
  };
  auto relp = session();
  ASSERT_TRUE(relp->open(kNoStop).ok());
  for (std::size_t i = 0; i < cases.size(); ++i) (void)relp->send("line");
  for (int round = 0; round < 3 && answers.size() < cases.size(); ++round) {
    ASSERT_TRUE(
        relp->pump(relp->wait(script.clock.now() + std::chrono::seconds(1)), onAnswer).ok());
  }
  ASSERT_EQ(cases.size(), answers.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(std::get<1>(cases[i]), answers[i].code) << std::get<0>(cases[i]);
    EXPECT_EQ(std::get<2>(cases[i]), answers[i].text) << std::get<0>(cases[i]);
  }
}

// A target that floods answers is read at most 1 MiB a round, so that the thread gets back to its
// deadline and its other work; a target that reads slowly leaves the output holding only what is
// still to be written, not every frame since the output last emptied.
TEST_F(RelpSessionTest, ReadsAndTheOutputStayBounded) {
  const std::string flood = [] {
    std::string out;
    while (out.size() < (3u << 20)) out += "999 rsp 6 200 OK\n";
    return out;
  }();
  script.reply = [&](std::uint64_t txnr, std::string_view command, std::string_view data) {
    return command == "open" ? welcoming(txnr, command, data) : Reply{flood};
  };
  auto relp = session();
  ASSERT_TRUE(relp->open(kNoStop).ok());
  (void)relp->send("line");
  ASSERT_TRUE(relp->pump(POLLOUT, onAnswer).ok());
  ASSERT_TRUE(relp->pump(relp->wait(script.clock.now() + std::chrono::seconds(1)), onAnswer).ok());
  const std::size_t frames = flood.size() / 17;
  EXPECT_GT(answers.size(), frames / 4);
  EXPECT_LE(answers.size(), (std::size_t{1} << 20) / 17 + 1) << "one round read more than 1 MiB";

  script.reply = welcoming;
  script.takesPerSend = 16 * 1024;
  auto slow = session();
  ASSERT_TRUE(slow->open(kNoStop).ok());
  const std::string line(20000, 'm');
  for (int n = 0; n < 100; ++n) (void)slow->send(line);
  const std::size_t queued = slow->held();
  std::size_t most = 0;
  for (int round = 0; round < 200 && slow->held() > 0; ++round) {
    ASSERT_TRUE(
        slow->pump(slow->wait(script.clock.now() + std::chrono::seconds(1)), onAnswer).ok());
    if (round >= 64) most = std::max(most, slow->held());
  }
  // After 64 rounds of 16 KiB, 1 MiB of the 2 MB is written: the output holds about the rest.
  EXPECT_LE(most, queued - (1u << 20) + (64u << 10)) << "written frames are still held";
}

TEST_F(RelpSessionTest, EveryWaitEndsAtItsDeadlineAndNotBefore) {
  // The open answered 4.9 s late is still in time.
  script.reply = [](std::uint64_t txnr, std::string_view command, std::string_view data) {
    Reply reply = welcoming(txnr, command, data);
    reply.after = command == "open" ? milliseconds(4900) : milliseconds(0);
    if (command == "close") reply.bytes.clear();
    return reply;
  };
  auto late = session();
  const auto start = script.clock.now();
  ASSERT_TRUE(late->open(kNoStop).ok());
  EXPECT_EQ(milliseconds(4900), script.clock.now() - start);
  // A close that is never answered gives up at its deadline.
  const auto closing = script.clock.now();
  const ForwardResult closed = late->close(closing + std::chrono::seconds(5), onAnswer);
  EXPECT_EQ("no answer to the RELP close within 5 s", closed.cause());
  EXPECT_EQ(milliseconds(5000), script.clock.now() - closing);

  // An open never answered, or answered 5.1 s late, gives up at 5 s.
  for (const milliseconds after : {milliseconds(-1), milliseconds(5100)}) {
    script.reply = [after](std::uint64_t txnr, std::string_view command, std::string_view data) {
      Reply reply = welcoming(txnr, command, data);
      if (after < milliseconds(0)) reply.bytes.clear();
      reply.after = after;
      return reply;
    };
    auto relp = session();
    milliseconds took{};
    EXPECT_EQ("no answer to the RELP open offer within 5 s", failedOpen(*relp, took));
    EXPECT_EQ(milliseconds(5000), took);
  }

  // A refused connection is said at once, and the session can be opened again.
  script.connects.push_back(ForwardResult::transient("cannot connect: Connection refused"));
  script.reply = welcoming;
  auto refused = session();
  milliseconds took{};
  EXPECT_EQ("cannot connect: Connection refused", failedOpen(*refused, took));
  EXPECT_EQ(milliseconds(0), took);
  EXPECT_TRUE(refused->open(kNoStop).ok());
}

TEST_F(RelpSessionTest, ATlsHandshakeUnansweredGarbledOrClosedFailsInTime) {
  if (!testsupport::TestCertificates::available()) GTEST_SKIP() << "certtool is not installed";
  testsupport::TempDir dir;
  testsupport::TestCertificates certificates(dir.path().string());
  ASSERT_EQ("", certificates.error());
  TlsCredentials credentials;
  ASSERT_TRUE(credentials.load(certificates.pem("ca"), "", "").ok());

  struct Case {
    std::string greeting;
    bool closes;
    std::string cause;
    milliseconds took;
  };
  const std::vector<Case> cases = {
      {"", false,
       "no answer to the TLS handshake within 5 s (is the target stopped, or not RELP in TLS?)",
       milliseconds(5000)},
      {"2 rsp 6 200 OK\n", false, "the TLS handshake failed: ", milliseconds(0)},
      {"", true, "the TLS handshake failed: the target closed the connection", milliseconds(0)},
      {std::string("\x15\x03\x03\x00\x02\x02\x28", 7), false,
       "the TLS handshake failed: the target sent the TLS alert 'Handshake failed'",
       milliseconds(0)},
  };
  for (const Case& c : cases) {
    script.greeting = c.greeting;
    script.closeAfterFrames = c.closes ? 0 : -1;
    auto relp = session(&credentials);
    milliseconds took{};
    const std::string cause = failedOpen(*relp, took);
    EXPECT_EQ(0u, cause.rfind(c.cause, 0)) << cause;
    EXPECT_EQ(c.took, took) << cause;
    EXPECT_EQ(0u, script.written.rfind("\x16\x03", 0)) << "a TLS handshake record comes first";
    script.written.clear();
  }
}

}  // namespace
