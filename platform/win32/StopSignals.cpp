#include "platform/StopSignals.h"

#include <windows.h>

#include <atomic>
#include <csignal>
#include <stdexcept>

#include "platform/win32/WindowsText.h"

namespace {

std::atomic<int> firstSignal{0};
HANDLE wakeEvent = nullptr;
HANDLE mainThread = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  int number;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      number = SIGINT;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      number = SIGTERM;
      break;
    default:
      return FALSE;
  }
  int none = 0;
  if (!firstSignal.compare_exchange_strong(none, number)) ExitProcess(128 + number);
  SetEvent(wakeEvent);
  // A read that is blocked in the main thread gives up at once.
  CancelSynchronousIo(mainThread);
  return TRUE;
}

}  // namespace

void StopSignals::install(Hangup) {
  wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!wakeEvent) {
    throw std::runtime_error("cannot create the stop event: " + WindowsText::lastError());
  }
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &mainThread, 0,
                  FALSE, DUPLICATE_SAME_ACCESS);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int StopSignals::received() { return firstSignal.load(); }

std::intptr_t StopSignals::wakeHandle() { return reinterpret_cast<std::intptr_t>(wakeEvent); }

std::intptr_t StopSignals::requestHandle() { return -1; }

StopSignals::Requests StopSignals::takeRequests() { return Requests(); }

bool StopSignals::waitForRequest(int timeoutMs) {
  Sleep(static_cast<DWORD>(timeoutMs));
  return false;
}
