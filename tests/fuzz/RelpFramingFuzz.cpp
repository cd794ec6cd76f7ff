// The RELP frame reader on any bytes a collector could send, cut into pieces where the input
// says. Every frame read is one a writer could have made (a number of at most 9 digits, 1 to 32
// letters, data within the bound) and written again it reads back the same; once the reader
// fails, it reads nothing more.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "udplog-recv/forward/RelpFraming.h"

namespace {

void check(const RelpFraming::Frame& frame) {
  if (frame.txnr > 999999999 || frame.command.empty() ||
      frame.command.size() > RelpFraming::kMaxCommand ||
      frame.data.size() > RelpFraming::kMaxData) {
    std::abort();
  }
  std::string again;
  RelpFraming::frame(again, frame.txnr, frame.command, frame.data);
  RelpFraming reader;
  reader.feed(again.data(), again.size());
  RelpFraming::Frame back;
  if (!reader.next(back) || back.txnr != frame.txnr || back.command != frame.command ||
      back.data != frame.data) {
    std::abort();
  }
}

}  // namespace

// Input: the first byte is the size of the pieces (0 means 1), the rest the bytes received.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = data[0] == 0 ? 1 : data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;
  RelpFraming reader;
  for (std::size_t at = 0; at < length; at += piece) {
    reader.feed(bytes + at, std::min(piece, length - at));
    RelpFraming::Frame frame;
    while (reader.next(frame)) check(frame);
    if (!reader.error().empty() && reader.next(frame)) std::abort();
  }
  return 0;
}
