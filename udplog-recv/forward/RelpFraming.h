// RELP frames as they go on the wire, "TXNR SP COMMAND SP DATALEN [SP DATA] LF", both ways:
// frame() writes one, and a RelpFraming object reads the frames of one session from the bytes
// received, in pieces of any size. It trusts nothing the peer sends: a transaction number or a
// length of more than 9 digits, a command that is not 1 to 32 letters, data over kMaxData bytes
// or a frame that does not end in LF makes it fail for good. Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class RelpFraming final {
 public:
  static constexpr std::size_t kMaxData = 1u << 20;
  static constexpr std::size_t kMaxDigits = 9;
  static constexpr std::size_t kMaxCommand = 32;

  // One frame read. data stays valid until the next call of next() or feed().
  struct Frame {
    std::uint64_t txnr = 0;
    std::string_view command;
    std::string_view data;
  };

  // Appends the frame for data to out: "7 syslog 5 hello\n", "3 close 0\n".
  static void frame(std::string& out, std::uint64_t txnr, std::string_view command,
                    std::string_view data);

  // Takes bytes as they came; next() reads frames from them.
  void feed(const char* bytes, std::size_t size);
  // The next whole frame into out; false when the bytes so far end inside one, or on failure.
  bool next(Frame& out);
  // Why the peer's bytes are no frame ("the length has more than 9 digits"); "" while they are.
  const std::string& error() const { return failure; }

 private:
  // Reads the header at read; false when more bytes are needed or it fails.
  bool header();
  bool fail(const std::string& why);

  std::string buffer;    // bytes received and not yet read as frames
  std::size_t read = 0;  // where the next frame begins in buffer
  // The frame whose header is read: its bytes from read in all (0 while no header is read), and
  // where its parts lie from read.
  std::size_t needed = 0;
  std::uint64_t txnr = 0;
  std::size_t commandAt = 0, commandSize = 0, dataAt = 0, dataSize = 0;
  std::string failure;
};
