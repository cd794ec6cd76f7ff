#include "tests/support/ProcessStats.h"

#include <windows.h>
// Tool Help needs the types of windows.h first.
#include <tlhelp32.h>

namespace testsupport {

std::size_t threadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  const DWORD self = GetCurrentProcessId();
  std::size_t n = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++n;
  }
  CloseHandle(snapshot);
  return n;
}

}  // namespace testsupport
