#include "platform/FileLock.h"

#include <windows.h>

#include <thread>

#include "platform/win32/WindowsText.h"

namespace {
// A lock held by another process reads as "try again"; the rest as anywhere else.
std::error_code errorOf(DWORD code) {
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) {
    return std::make_error_code(std::errc::resource_unavailable_try_again);
  }
  return WindowsText::errorOf(code);
}

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

std::error_code FileLock::lock(const std::string& path, std::chrono::milliseconds patience) {
  unlock();
  // Read access is all that LockFileEx needs. Others may open, rename and delete the file
  // meanwhile, as they may on POSIX systems.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return errorOf(GetLastError());
  // The lock covers the first byte, which need not exist; nobody reads or writes it.
  const auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    const DWORD cause = GetLastError();
    if ((cause != ERROR_LOCK_VIOLATION && cause != ERROR_IO_PENDING) ||
        std::chrono::steady_clock::now() >= deadline) {
      CloseHandle(file);
      return errorOf(cause);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  handle = reinterpret_cast<std::intptr_t>(file);
  return std::error_code();
}

void FileLock::unlock() {
  if (handle == kClosed) return;
  OVERLAPPED at{};
  UnlockFileEx(handleOf(handle), 0, 1, 0, &at);
  CloseHandle(handleOf(handle));
  handle = kClosed;
}
