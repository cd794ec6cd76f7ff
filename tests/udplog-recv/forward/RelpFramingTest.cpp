// RelpFraming: frames written are read back the same whether the bytes come at once or one by
// one, and bytes that are no frame stop the reader at once with a cause, however they are cut.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "udplog-recv/forward/RelpFraming.h"

namespace {

struct Read {
  std::vector<std::string> frames;  // "txnr command data" of each frame read
  std::string error;
};

Read readInPieces(const std::string& bytes, std::size_t piece) {
  RelpFraming reader;
  Read out;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    reader.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    RelpFraming::Frame frame;
    while (reader.next(frame)) {
      out.frames.push_back(std::to_string(frame.txnr) + " " + std::string(frame.command) + " " +
                           std::string(frame.data));
    }
  }
  out.error = reader.error();
  return out;
}

TEST(RelpFramingTest, FramesReadBackTheSameInPiecesOfAnySize) {
  std::string bytes;
  RelpFraming::frame(bytes, 7, "syslog", "hello\nworld");
  RelpFraming::frame(bytes, 8, "close", "");
  const std::string big(RelpFraming::kMaxData, 'x');
  RelpFraming::frame(bytes, 999999999, "rsp", big);
  bytes += "0 serverclose 0\n";
  EXPECT_EQ(0u, bytes.find("7 syslog 11 hello\nworld\n8 close 0\n999999999 rsp 1048576 xxx"));

  const std::vector<std::string> expected{"7 syslog hello\nworld", "8 close ",
                                          "999999999 rsp " + big, "0 serverclose "};
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, bytes.size()}) {
    const Read read = readInPieces(bytes, piece);
    EXPECT_EQ(expected, read.frames) << "pieces of " << piece;
    EXPECT_EQ("", read.error);
  }
}

TEST(RelpFramingTest, BytesThatAreNoFrameStopTheReaderWithACause) {
  const struct {
    std::string bytes;
    std::string cause;
  } cases[] = {
      {"1234567890 rsp 0\n", "transaction number"},
      {" rsp 0\n", "transaction number"},
      {"1  rsp 0\n", "command"},
      {"1 r5p 0\n", "command"},
      {"1 " + std::string(33, 'a') + " 0\n", "command"},
      {"1 rsp 1234567890 x\n", "data length"},
      {"1 rsp x\n", "data length"},
      {"1 rsp 1048577 ", "over 1048576"},
      {"1 rsp 0 \n", "no LF"},
      {"1 rsp 2\nOK\n", "no space before the data"},
      {"1 rsp 2 OKX1 rsp 0\n", "does not end in LF"},
      {"1 rsp 0\n2\trsp 0\n", "no space after"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t{1}, c.bytes.size()}) {
      const Read read = readInPieces(c.bytes + "9 rsp 0\n", piece);
      EXPECT_NE(std::string::npos, read.error.find(c.cause))
          << "'" << c.bytes << "' in pieces of " << piece << ": " << read.error;
      EXPECT_LE(read.frames.size(), 1u) << c.bytes;
    }
  }
}

}  // namespace
