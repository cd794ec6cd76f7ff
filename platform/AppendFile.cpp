#include "platform/AppendFile.h"

#include <algorithm>

const char* AppendFile::describe(Kind kind) {
  switch (kind) {
    case Kind::kRegular:
      return "a regular file";
    case Kind::kCharacterDevice:
      return "a character device";
    case Kind::kFifo:
      return "a FIFO";
    case Kind::kSocket:
      return "a socket";
    case Kind::kBlockDevice:
      return "a block device";
    case Kind::kOther:
      break;
  }
  return "not a regular file";
}

std::size_t AppendFile::writeRecords(std::string_view bytes, const std::vector<std::size_t>& ends,
                                     std::error_code& error) {
  const std::size_t done = write(bytes.data(), bytes.size(), error);
  const std::size_t whole =
      static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), done) - ends.begin());
  // Where taking back fails (not a regular file, or another process appended behind), the
  // fragment stays; the caller knows from the count which records did not reach the file.
  const std::size_t cut = done - (whole == 0 ? 0 : ends[whole - 1]);
  if (cut > 0) takeBack(cut);
  return whole;
}
