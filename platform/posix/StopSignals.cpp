#include "platform/StopSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

volatile sig_atomic_t firstSignal = 0;
int wakeRead = -1;
int wakeWrite = -1;

extern "C" void onStopSignal(int number) {
  if (firstSignal != 0) _exit(128 + number);
  firstSignal = number;
  const int saved = errno;
  const char byte = 1;
  ssize_t ignored = ::write(wakeWrite, &byte, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

void StopSignals::install() {
  int fds[2];
  if (::pipe(fds) != 0) {
    throw std::runtime_error(std::string("cannot create the signal pipe: ") + std::strerror(errno));
  }
  for (int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  wakeRead = fds[0];
  wakeWrite = fds[1];

  struct sigaction stop;
  std::memset(&stop, 0, sizeof(stop));
  stop.sa_handler = onStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = 0;  // no SA_RESTART: a blocking read returns EINTR
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int StopSignals::received() { return firstSignal; }

std::intptr_t StopSignals::wakeHandle() { return wakeRead; }
