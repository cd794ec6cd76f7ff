#include "tests/support/Subprocess.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

namespace testsupport {

namespace {

// One argument quoted so that the C runtime's parser gives it back unchanged.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    text += c;
  }
  text.append(2 * backslashes, '\\');  // before the closing quote
  return text + "\"";
}

std::string nativePath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// A handle the child inherits, for one of its standard streams.
HANDLE openInherited(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

struct Subprocess::Child {
  HANDLE process = nullptr;
};

Subprocess::Subprocess(const std::string& program, const std::vector<std::string>& args,
                       const std::string& inputFile, const std::string& errorDevice,
                       Outputs outputs)
    : outPath(dir.file("stdout")), errPath(dir.file("stderr")), child(new Child) {
  std::string commandLine = quoted(nativePath(program));
  for (const auto& arg : args) commandLine += " " + quoted(arg);

  HANDLE in = openInherited(
      inputFile.empty() || inputFile == kClosedInput ? std::string("NUL") : inputFile, false);
  HANDLE out = INVALID_HANDLE_VALUE, err = INVALID_HANDLE_VALUE;
  if (outputs == Outputs::kClosed) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reader = nullptr;
    if (CreatePipe(&reader, &out, &inherit, 0)) {
      CloseHandle(reader);  // no reader, ever
      DuplicateHandle(GetCurrentProcess(), out, GetCurrentProcess(), &err, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
    }
  } else {
    out = openInherited(outPath, true);
    err = openInherited(errorDevice.empty() ? errPath : errorDevice, true);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &info);
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
  }
  if (!started) throw std::runtime_error("cannot start " + program);
  CloseHandle(info.hThread);
  child->process = info.hProcess;
}

Subprocess::~Subprocess() {
  if (child->process) {
    TerminateProcess(child->process, 137);
    WaitForSingleObject(child->process, INFINITE);
    CloseHandle(child->process);
  }
}

void Subprocess::signal(int number) {
  if (child->process) TerminateProcess(child->process, static_cast<UINT>(128 + number));
}

long Subprocess::id() const {
  return child->process ? static_cast<long>(GetProcessId(child->process)) : -1;
}

int Subprocess::wait() {
  DWORD status = 0;
  WaitForSingleObject(child->process, INFINITE);
  GetExitCodeProcess(child->process, &status);
  CloseHandle(child->process);
  child->process = nullptr;
  return static_cast<int>(status);
}

}  // namespace testsupport
