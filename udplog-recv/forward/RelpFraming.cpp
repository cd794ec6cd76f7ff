#include "udplog-recv/forward/RelpFraming.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Digits from at up to a space or LF into value; the index after them, or npos when the bytes end
// first (at most kMaxDigits are waited for), or when the digits are none or too many.
std::size_t readNumber(std::string_view text, std::size_t at, std::uint64_t& value, bool& bad) {
  value = 0;
  std::size_t end = at;
  while (end < text.size() && isDigit(text[end])) {
    if (end - at == RelpFraming::kMaxDigits) {
      bad = true;
      return std::string_view::npos;
    }
    value = value * 10 + static_cast<std::uint64_t>(text[end] - '0');
    ++end;
  }
  if (end == text.size()) return std::string_view::npos;
  bad = end == at;
  return bad ? std::string_view::npos : end;
}

}  // namespace

void RelpFraming::frame(std::string& out, std::uint64_t txnr, std::string_view command,
                        std::string_view data) {
  out += std::to_string(txnr);
  out += ' ';
  out += command;
  out += ' ';
  out += std::to_string(data.size());
  if (!data.empty()) {
    out += ' ';
    out += data;
  }
  out += '\n';
}

void RelpFraming::feed(const char* bytes, std::size_t size) {
  if (!failure.empty()) return;
  // Frames already read are dropped once they make up most of the buffer.
  if (read > 0 && read >= buffer.size() / 2) {
    buffer.erase(0, read);
    read = 0;
  }
  buffer.append(bytes, size);
}

bool RelpFraming::fail(const std::string& why) {
  failure = why;
  buffer.clear();
  read = 0;
  needed = 0;
  return false;
}

bool RelpFraming::header() {
  const std::string_view text(buffer.data() + read, buffer.size() - read);
  bool bad = false;
  std::size_t at = readNumber(text, 0, txnr, bad);
  if (bad) return fail("the transaction number is not 1 to 9 digits");
  if (at == std::string_view::npos) return false;
  if (text[at] != ' ') return fail("no space after the transaction number");
  commandAt = ++at;
  while (at < text.size() && isLetter(text[at]) && at - commandAt < kMaxCommand) ++at;
  if (at == text.size()) return false;
  if (at == commandAt || text[at] != ' ') return fail("the command is not 1 to 32 letters");
  commandSize = at - commandAt;
  std::uint64_t length = 0;
  at = readNumber(text, at + 1, length, bad);
  if (bad) return fail("the data length is not 1 to 9 digits");
  if (at == std::string_view::npos) return false;
  if (length > kMaxData) {
    return fail("the data length " + std::to_string(length) + " is over " +
                std::to_string(kMaxData));
  }
  // "0 serverclose 0\n": no data, no space; "1 rsp 6 200 OK\n".
  if (length == 0 && text[at] != '\n') return fail("no LF after a frame without data");
  if (length > 0 && text[at] != ' ') return fail("no space before the data");
  dataAt = at + 1;
  dataSize = static_cast<std::size_t>(length);
  needed = length > 0 ? dataAt + dataSize + 1 : dataAt;
  return true;
}

bool RelpFraming::next(Frame& out) {
  if (!failure.empty()) return false;
  if (needed == 0 && !header()) return false;
  if (buffer.size() - read < needed) return false;
  const char* start = buffer.data() + read;
  if (start[needed - 1] != '\n') return fail("the frame does not end in LF");
  out.txnr = txnr;
  out.command = std::string_view(start + commandAt, commandSize);
  out.data = std::string_view(start + dataAt, dataSize);
  read += needed;
  needed = 0;
  return true;
}
