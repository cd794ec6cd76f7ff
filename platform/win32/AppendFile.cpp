#include "platform/AppendFile.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32/WindowsText.h"

const char AppendFile::kLineEnd[] = "\r\n";
const std::size_t AppendFile::kLineEndSize = 2;

namespace {
HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

std::error_code AppendFile::open(const std::string& thePath, Waiting) {
  close();
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end, as with O_APPEND.
  // Others may read, write, rename and delete it meanwhile (a rotation, a reader). Waiting makes
  // no difference here: a pipe's client handle waits in WriteFile either way.
  HANDLE file = CreateFileA(thePath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return WindowsText::errorOf(GetLastError());
  adopt(reinterpret_cast<std::intptr_t>(file));
  path = thePath;
  return std::error_code();
}

std::error_code AppendFile::openStandardOutput() {
  close();
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr) {
    return WindowsText::errorOf(ERROR_INVALID_HANDLE);
  }
  // A handle of its own, so that closing it leaves standard output open.
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return WindowsText::errorOf(GetLastError());
  }
  adopt(reinterpret_cast<std::intptr_t>(copy));
  path.clear();  // nothing to open again for taking back
  return std::error_code();
}

void AppendFile::adopt(std::intptr_t theHandle) {
  handle = theHandle;
  HANDLE file = handleOf(handle);
  openedSize = 0;
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK: {
      openedKind = Kind::kRegular;
      LARGE_INTEGER size{};
      if (GetFileSizeEx(file, &size)) openedSize = static_cast<std::uint64_t>(size.QuadPart);
      break;
    }
    case FILE_TYPE_CHAR:
      openedKind = Kind::kCharacterDevice;
      break;
    case FILE_TYPE_PIPE:
      openedKind = Kind::kFifo;
      break;
    default:
      openedKind = Kind::kOther;
  }
}

std::size_t AppendFile::write(const char* data, std::size_t size, std::error_code& error) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t left = size - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!WriteFile(handleOf(handle), data + done, chunk, &n, nullptr)) {
      error = WindowsText::errorOf(GetLastError());
      break;
    }
    if (n == 0) {
      error = std::make_error_code(std::errc::no_space_on_device);
      break;
    }
    done += n;
  }
  return done;
}

bool AppendFile::takeBack(std::size_t count) {
  if (openedKind != Kind::kRegular || handle == kClosed || path.empty()) return false;
  // Cutting a file needs write access, which an appending handle does not have.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool done = GetFileSizeEx(file, &size) && static_cast<std::uint64_t>(size.QuadPart) >= count;
  if (done) {
    LARGE_INTEGER end{};
    end.QuadPart = size.QuadPart - static_cast<LONGLONG>(count);
    done = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  }
  CloseHandle(file);
  return done;
}

std::error_code AppendFile::close() {
  if (handle == kClosed) return std::error_code();
  const bool closed = CloseHandle(handleOf(handle));
  handle = kClosed;
  return closed ? std::error_code() : WindowsText::errorOf(GetLastError());
}
