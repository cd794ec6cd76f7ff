#include "platform/InputSource.h"

#include <io.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/StopSignals.h"
#include "platform/win32/WindowsText.h"

const bool InputSource::kCrLfText = true;

namespace {

// One read of a pipe on a thread of its own. A read blocked on a pipe can be neither waited for
// together with an event nor cancelled everywhere (not under Wine), so the caller waits for this
// read's event or the stop event, and may leave the read behind: it owns its buffer, and the last
// of the two holders frees it.
struct PipeRead {
  explicit PipeRead(std::size_t size)
      : buffer(size), done(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeRead() {
    if (done) CloseHandle(done);
  }
  PipeRead(const PipeRead&) = delete;
  PipeRead& operator=(const PipeRead&) = delete;

  std::vector<char> buffer;
  HANDLE done;
  BOOL ok = FALSE;
  DWORD got = 0;
  DWORD error = 0;
};

// Reads once from handle; the error code, 0 on success.
DWORD readOnce(HANDLE handle, char* buffer, DWORD size, DWORD& got) {
  return ReadFile(handle, buffer, size, &got, nullptr) ? 0 : GetLastError();
}

}  // namespace

std::ptrdiff_t InputSource::read(char* buffer, std::size_t size, std::string& error) {
  // The handle itself, below the C library's text mode: the bytes arrive as they are.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE) {
    error = "no input handle";
    return -1;
  }
  HANDLE stop = reinterpret_cast<HANDLE>(StopSignals::wakeHandle());
  const DWORD type = GetFileType(handle);
  const DWORD want = size > 0x100000u ? 0x100000u : static_cast<DWORD>(size);
  for (;;) {
    if (StopSignals::received() != 0) return 0;
    DWORD got = 0;
    DWORD code;
    if (type == FILE_TYPE_PIPE && stop) {
      auto pending = std::make_shared<PipeRead>(want);
      if (!pending->done) {
        error = WindowsText::lastError();
        return -1;
      }
      std::thread([pending, handle] {
        pending->error = readOnce(handle, pending->buffer.data(),
                                  static_cast<DWORD>(pending->buffer.size()), pending->got);
        SetEvent(pending->done);
      }).detach();
      HANDLE both[2] = {pending->done, stop};
      if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
      got = pending->got;
      code = pending->error;
      std::memcpy(buffer, pending->buffer.data(), got);
    } else {
      if (type == FILE_TYPE_CHAR && stop) {
        // A console: its input handle is signalled when there is input.
        HANDLE both[2] = {handle, stop};
        if (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) return 0;
      }
      code = readOnce(handle, buffer, want, got);
    }
    if (code == 0) return static_cast<std::ptrdiff_t>(got);
    // The writer of a pipe went away: the end of the input.
    if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;
    // Cancelled; a stop signal is seen above, anything else reads again.
    if (code == ERROR_OPERATION_ABORTED) continue;
    error = WindowsText::error(code);
    return -1;
  }
}
