#include "platform/Terminal.h"

#include <unistd.h>

bool Terminal::isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }
