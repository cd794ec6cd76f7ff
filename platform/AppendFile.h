// A log file opened for appending without ever blocking the caller: a FIFO without a reader, a
// socket or a device that is not ready fails the open or the write instead of waiting. Line ends
// are the platform's own ("\n", or "\r\n" on Windows, written in binary mode so that byte counts
// are the file's). One thread uses a file at a time; the file is its handle's only holder.
// Failures are std::error_code values, as throughout platform/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

class AppendFile final {
 public:
  // What an opened path turned out to be.
  enum class Kind { kRegular, kCharacterDevice, kFifo, kSocket, kBlockDevice, kOther };

  // Whether opening and writing may wait. Never, for the logger's files: a FIFO without a reader
  // fails the open and a device that is not ready fails the write. Allowed, for an output that
  // another program drains (a pipe to a compressor, say): a full pipe then holds the writer back
  // instead of failing it, as with any program's output.
  enum class Waiting { kNever, kAllowed };

  static const char kLineEnd[];
  static const std::size_t kLineEndSize;

  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { close(); }

  // Opens path for appending, created if missing. On failure the error says why; ENXIO (a FIFO
  // without a reader, a socket, an absent device) is std::errc::no_such_device_or_address.
  std::error_code open(const std::string& path, Waiting waiting = Waiting::kNever);
  // Appends to a copy of the process's standard output handle, whatever it is (a file, a pipe, a
  // terminal); the stream's own way of waiting is kept.
  std::error_code openStandardOutput();
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
  // Appends records lying back to back in bytes, ends holding one past the last byte of each
  // (ascending, the last one bytes.size()); returns how many reached the file whole. A record that
  // a failure cut off is taken back, so that the file ends with the last whole record:
  //   ends {4, 9}, "one\ntwo" reached the file -> "two" is cut off, 1 returned, "one\n" left
  std::size_t writeRecords(std::string_view bytes, const std::vector<std::size_t>& ends,
                           std::error_code& error);
  // Closes the file; the error of a close that failed (a write the system had held back), if any.
  std::error_code close();

  // "a FIFO", "a socket", ... for messages.
  static const char* describe(Kind kind);

 private:
  static constexpr std::intptr_t kClosed = -1;
  // Takes theHandle as the open file and learns its kind and size.
  void adopt(std::intptr_t theHandle);

  std::intptr_t handle = kClosed;  // a descriptor, or a Windows handle
  Kind openedKind = Kind::kOther;
  std::uint64_t openedSize = 0;
  std::string path;  // for taking back, where that needs a handle of its own
};
