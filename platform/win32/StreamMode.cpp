#include "platform/StreamMode.h"

#include <fcntl.h>
#include <io.h>

void StreamMode::makeBinary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

// Windows gives a program without a stream a handle of its own; nothing to hold.
void StreamMode::holdClosedStreams() {}
