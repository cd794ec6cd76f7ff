#include "platform/StreamMode.h"

void StreamMode::makeBinary(std::FILE*) {}
