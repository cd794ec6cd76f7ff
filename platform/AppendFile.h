// A log file opened for appending without ever blocking the caller: a FIFO without a reader, a
// socket or a device that is not ready fails the open or the write instead of waiting. Line ends
// are the platform's own ("\n", or "\r\n" on Windows, written in binary mode so that byte counts
// are the file's). One thread uses a file at a time; the file is its handle's only holder.
// Failures are std::error_code values, as throughout platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

class AppendFile final {
 public:
  // What an opened path turned out to be.
  enum class Kind { kRegular, kCharacterDevice, kFifo, kSocket, kBlockDevice, kOther };

  static const char kLineEnd[];
  static const std::size_t kLineEndSize;

  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { close(); }

  // Opens path for appending, created if missing. On failure the error says why; ENXIO (a FIFO
  // without a reader, a socket, an absent device) is std::errc::no_such_device_or_address.
  std::error_code open(const std::string& path);
  bool isOpen() const { return handle != kClosed; }
  Kind kind() const { return openedKind; }
  // The size when it was opened (regular files only).
  std::uint64_t size() const { return openedSize; }

  // Appends up to size bytes; returns how many reached the file. Fewer than size means a failure,
  // described in error (a write that took nothing is reported as no space left), and takeBack()
  // can then remove a record that was cut off, so that it is not left half written.
  std::size_t write(const char* data, std::size_t size, std::error_code& error);
  // Removes the last count bytes of a regular file, when they are still its last ones (no other
  // process appended behind them); false when that failed or another process appended.
  bool takeBack(std::size_t count);
  void close();

  // "a FIFO", "a socket", ... for messages.
  static const char* describe(Kind kind);

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle = kClosed;  // a descriptor, or a Windows handle
  Kind openedKind = Kind::kOther;
  std::uint64_t openedSize = 0;
  std::string path;  // for taking back, where that needs a handle of its own
};
