#include "platform/InputSource.h"

#include <io.h>
#include <windows.h>

#include "platform/StopSignals.h"
#include "platform/win32/WindowsText.h"

const bool InputSource::kCrLfText = true;

std::ptrdiff_t InputSource::read(char* buffer, std::size_t size, std::string& error) {
  // The handle itself, below the C library's text mode: the bytes arrive as they are.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
  if (handle == INVALID_HANDLE_VALUE) {
    error = "no input handle";
    return -1;
  }
  const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  for (;;) {
    if (StopSignals::received() != 0) return 0;
    DWORD got = 0;
    if (ReadFile(handle, buffer, want, &got, nullptr)) return static_cast<std::ptrdiff_t>(got);
    const DWORD code = GetLastError();
    // The writer of a pipe went away: the end of the input.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
    // Cancelled by a stop signal; anything else that cancels it reads again.
    if (code == ERROR_OPERATION_ABORTED) continue;
    error = WindowsText::error(code);
    return -1;
  }
}
