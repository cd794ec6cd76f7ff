#include "platform/StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// Written by the handlers on whichever thread a signal lands and read by any thread: an atomic
// (lock-free, so a handler may use it), where a volatile sig_atomic_t would be a data race.
std::atomic<int> firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers need a lock-free int");
int wakeRead = -1;
int wakeWrite = -1;
int requestRead = -1;
int requestWrite = -1;
// Lock-free, so the handlers may count into them.
std::atomic<unsigned> statusRequests{0};
std::atomic<unsigned> reopenRequests{0};

void poke(int fd) {
  const int saved = errno;
  const char byte = 1;
  ssize_t ignored = ::write(fd, &byte, 1);  // a full pipe is readable already
  (void)ignored;
  errno = saved;
}

extern "C" void onStopSignal(int number) {
  int none = 0;
  if (!firstSignal.compare_exchange_strong(none, number)) {
    // A hangup comes from the system, often twice (the terminal and the shell each send one):
    // only a signal a user sends again ends the process before what was read is stored.
    if (number == SIGHUP) return;
    _exit(128 + number);
  }
  poke(wakeWrite);
}

// The kernel raises SIGPIPE in a thread that writes to a pipe or socket whose reader has gone, as
// if the process had sent it to itself; that write fails with EPIPE all the same, and the program
// reports the failure, so such a SIGPIPE is no request to stop. One that another process sends
// (kill -PIPE) stops the program like SIGTERM. A signal whose sender the system does not give
// (si_pid 0) is taken for the kernel's.
extern "C" void onPipeSignal(int number, siginfo_t* info, void*) {
  if (info == nullptr || info->si_pid == 0 || info->si_pid == ::getpid()) return;
  onStopSignal(number);
}

extern "C" void onRequestSignal(int number) {
  (number == SIGUSR1 ? statusRequests : reopenRequests).fetch_add(1, std::memory_order_relaxed);
  poke(requestWrite);
}

void makePipe(int& readEnd, int& writeEnd) {
  int fds[2];
  if (::pipe(fds) != 0) {
    throw std::runtime_error(std::string("cannot create the signal pipe: ") + std::strerror(errno));
  }
  for (int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  readEnd = fds[0];
  writeEnd = fds[1];
}

void handle(int number, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking read returns EINTR
  ::sigaction(number, &action, nullptr);
}

void handleWithSender(int number, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_sigaction = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART, as above
  ::sigaction(number, &action, nullptr);
}

}  // namespace

void StopSignals::install(Hangup hangup) {
  makePipe(wakeRead, wakeWrite);
  makePipe(requestRead, requestWrite);
  static const int kStopping[] = {
      SIGINT,    SIGTERM, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,
#ifdef SIGPWR
      SIGPWR,
#endif
#ifdef SIGSTKFLT
      SIGSTKFLT,
#endif
  };
  for (int number : kStopping) handle(number, onStopSignal);
#ifdef SIGRTMIN
  for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) handle(number, onStopSignal);
#endif
  handle(SIGHUP, hangup == Hangup::kStop ? onStopSignal : onRequestSignal);
  handle(SIGUSR1, onRequestSignal);
  handleWithSender(SIGPIPE, onPipeSignal);
}

int StopSignals::received() { return firstSignal.load(); }

std::intptr_t StopSignals::wakeHandle() { return wakeRead; }

std::intptr_t StopSignals::requestHandle() { return requestRead; }

StopSignals::Requests StopSignals::takeRequests() {
  char bytes[64];
  while (::read(requestRead, bytes, sizeof(bytes)) > 0) {
  }
  Requests taken;
  taken.status = statusRequests.exchange(0, std::memory_order_relaxed);
  taken.reopen = reopenRequests.exchange(0, std::memory_order_relaxed);
  return taken;
}

bool StopSignals::waitForRequest(int timeoutMs) {
  pollfd watch = {requestRead, POLLIN, 0};
  return ::poll(&watch, 1, timeoutMs) > 0;
}
