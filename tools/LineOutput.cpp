#include "tools/LineOutput.h"

#include <cerrno>
#include <cstring>

LineOutput::LineOutput() : file_(stdout), name_("standard output") {}

LineOutput::~LineOutput() { close(); }

bool LineOutput::open(const std::string& path) {
  if (path == "-") return true;
  name_ = path;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    fail("cannot open", errno);
    return false;
  }
  return true;
}

void LineOutput::showTabsAs(char separator) {
  replaceTabs_ = true;
  separator_ = separator;
}

void LineOutput::write(std::string_view line) {
  if (failed() || !file_) return;
  if (replaceTabs_) {
    shown_.assign(line.data(), line.size());
    for (char& c : shown_) {
      if (c == '\v') c = separator_;
    }
    line = shown_;
  }
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
      std::fputc('\n', file_) == EOF) {
    fail("cannot write", errno);
  }
}

void LineOutput::flush() {
  if (failed() || !file_) return;
  if (std::fflush(file_) != 0) fail("cannot write", errno);
}

bool LineOutput::close() {
  if (!file_) return !failed();
  flush();
  if (file_ != stdout) {
    if (std::fclose(file_) != 0 && !failed()) fail("cannot close", errno);
  }
  file_ = nullptr;
  return !failed();
}

void LineOutput::fail(const char* what, int error) {
  if (failed()) return;
  error_ = std::string(what) + " " + name_ + ": " + std::strerror(error);
}
