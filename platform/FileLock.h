// An exclusive advisory lock on a file, shared by every process that takes it through FileLock:
// flock() on POSIX systems, LockFileEx() on Windows. The lock belongs to the FileLock, not to the
// process: two FileLocks of one process exclude each other, and the system releases the lock when
// its holder ends, however it ends. One thread uses a FileLock at a time; it is its handle's only
// holder. Failures are std::error_code values, as throughout platform/.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

class FileLock final {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { unlock(); }

  // Opens path, created if missing, and takes the lock, waiting at most patience while another
  // holder has it. The file's contents are never read or written, and it stays in place
  // afterwards: removing a lock file while another process waits on it would let a third one lock
  // a new file of the same name. Returns an empty error once the lock is held; otherwise why not:
  // the open's error, or std::errc::resource_unavailable_try_again when the lock stayed taken.
  std::error_code lock(const std::string& path, std::chrono::milliseconds patience);
  bool isLocked() const { return handle != kClosed; }
  // Releases the lock, if held, and closes the file.
  void unlock();

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle = kClosed;  // a descriptor, or a Windows handle
};
