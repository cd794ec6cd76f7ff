#include "platform/AppendFile.h"

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
