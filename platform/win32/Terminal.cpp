#include "platform/Terminal.h"

#include <io.h>
#include <windows.h>

bool Terminal::isTerminal(std::FILE* stream) {
  // _isatty() is true for the NUL device as well; only a console has a console mode.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}
