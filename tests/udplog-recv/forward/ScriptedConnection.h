// A connection for forwarding tests that plays the target from a script and moves a fake clock:
// the bytes the session writes are kept (written()), the target's answers come from a reply
// function called for each whole RELP frame written, each after a delay of the script's, and a
// wait with nothing due moves the clock to its deadline at once. So a 5 s time-out takes no time,
// and a test can say exactly when the session gave up. One thread; the test owns the script, the
// session owns the connection.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/udplog-recv/forward/FakeClock.h"
#include "udplog-recv/forward/IConnection.h"
#include "udplog-recv/forward/RelpFraming.h"

namespace testsupport {

struct ConnectionScript {
  using Clock = IConnection::Clock;

  // The target's bytes after one frame of ours ("" for none), and how long after it they come.
  struct Reply {
    std::string bytes;
    std::chrono::milliseconds after{0};
    bool close = false;  // the target ends the connection once these bytes are read
  };
  // Called for each whole frame written: txnr, command, data.
  std::function<Reply(std::uint64_t, std::string_view, std::string_view)> reply;
  // Each connect() is answered with the next result here; success once they run out.
  std::deque<ForwardResult> connects;
  // Addresses that drop the connection's first packets: a connect there never completes.
  std::function<bool(const NameLookup::Address&)> blackHole;
  // Bytes the target sends before anything, once connected (a TLS test's garbage, for one).
  std::string greeting;
  // The target ends the connection once it has read this many frames of ours (0: at once) and
  // its replies to them are read; -1: never.
  int closeAfterFrames = -1;

  // The most the target takes between two waits (a slow reader); 0: all of it.
  std::size_t takesPerSend = 0;

  FakeClock clock;
  std::atomic<int> connections{0};  // connect() calls, readable while they happen
  // What the test reads afterwards (once the thread that used the connections is done).
  std::string written;  // every byte the session wrote, over all its connections
  std::vector<Clock::time_point> connectedAt;  // of each connect() that worked
  std::vector<Clock::time_point> attemptsAt;   // of each connect()
};

class ScriptedConnection final : public IConnection {
 public:
  // *script must outlive the connection.
  explicit ScriptedConnection(ConnectionScript& theScript) : script(theScript) {}

  ForwardResult connect(const NameLookup::Address& address) override {
    ++script.connections;
    script.attemptsAt.push_back(script.clock.now());
    hole = script.blackHole && script.blackHole(address);
    if (hole) return ForwardResult::success();
    inbound.clear();
    due.clear();
    frames = RelpFraming();
    framesRead = 0;
    closing = false;
    closeScheduled = false;
    if (!script.connects.empty()) {
      ForwardResult next = script.connects.front();
      script.connects.pop_front();
      if (!next.ok()) return next;
    }
    open = true;
    script.connectedAt.push_back(script.clock.now());
    inbound = script.greeting;
    return ForwardResult::success();
  }
  ForwardResult connected() override { return ForwardResult::success(); }

  ForwardResult send(const char* data, std::size_t size, std::size_t& sent) override {
    if (!open) return ForwardResult::transient("the connection broke: Broken pipe");
    sent = script.takesPerSend > 0 ? std::min(size, budget) : size;
    budget -= std::min(budget, sent);
    script.written.append(data, sent);
    frames.feed(data, sent);
    RelpFraming::Frame frame;
    while (frames.next(frame)) {
      ++framesRead;
      if (!script.reply) continue;
      ConnectionScript::Reply answer = script.reply(frame.txnr, frame.command, frame.data);
      // A target that closes reads no further: later frames get no answer.
      if (closeScheduled) continue;
      closeScheduled = answer.close;
      if (!answer.bytes.empty() || answer.close) {
        due.push_back({script.clock.now() + answer.after, answer.bytes, answer.close});
      }
    }
    return ForwardResult::success();
  }

  ForwardResult receive(char* data, std::size_t size, std::size_t& got) override {
    got = std::min(size, inbound.size());
    inbound.copy(data, got);
    inbound.erase(0, got);
    if (got == 0 && ended()) return ForwardResult::transient("the target closed the connection");
    return ForwardResult::success();
  }

  short wait(short events, Clock::time_point deadline, int wakeFd) override {
    budget = script.takesPerSend;
    if (hole) {
      fakeSleep(script.clock, deadline, wakeFd);
      return 0;
    }
    if (!due.empty() && due.front().at <= deadline) script.clock.advanceTo(due.front().at);
    while (!due.empty() && due.front().at <= script.clock.now()) {
      inbound += due.front().bytes;
      closing = closing || due.front().close;
      due.pop_front();
    }
    short ready = events & POLLOUT;
    if ((events & POLLIN) && (!inbound.empty() || ended())) ready |= POLLIN;
    if (ready == 0) {
      // A wait for nothing on the connection waits for another thread (the resolver's): it
      // gets a moment of real time for each step of the fake clock.
      if (events == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      fakeSleep(script.clock, deadline, wakeFd);
    }
    return ready;
  }

  Clock::time_point now() const override { return script.clock.now(); }
  void close() override { open = false; }

 private:
  struct Due {
    Clock::time_point at;
    std::string bytes;
    bool close;
  };
  bool ended() const {
    if (closing) return inbound.empty();
    return script.closeAfterFrames >= 0 && framesRead >= script.closeAfterFrames && due.empty() &&
           inbound.empty();
  }

  ConnectionScript& script;
  bool open = false;
  RelpFraming frames;  // the session's frames, as the target reads them
  int framesRead = 0;
  bool closing = false;         // a reply that ends the connection has come
  bool closeScheduled = false;  // and is on its way
  bool hole = false;            // connecting to a black hole
  std::size_t budget = 0;       // what the target takes before the next wait
  std::string inbound;          // the target's bytes, come and not yet read
  std::deque<Due> due;          // the target's bytes still on their way
};

}  // namespace testsupport
