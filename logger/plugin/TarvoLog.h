// A client's writer of log lines: `TarvoLog log(pipe); log.info("auth", "alice in");` pushes one
// line "<local time, ms>\v<thread id>\vINFO\vauth\valice in\v<extra>" into the pipe.
//
// Header-only. A log shares the pipe of a "LOGGER_QUEUE" reply with the logger and any other
// holder. Its pipe and extra field are constant after construction and its minimum level is an
// atomic: any number of threads may write through one log, or through copies of it, and any may
// change its level, at once. A log without a pipe drops every line. A log given a gate (the
// embedded logger's) drops, counts and reports every line written once the gate is closed.
#pragma once

#include <atomic>
#include <boost/shared_ptr.hpp>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#if defined(_WIN32)
extern "C" __declspec(dllimport) unsigned long __stdcall GetCurrentThreadId(void);
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <functional>
#include <thread>
#endif

// Defined before the include, it adds info(source, "x={} y={}", x, y) and the like for every level,
// formatting with fmt straight into the line (the component then links fmt::fmt, or defines
// FMT_HEADER_ONLY). Without it nothing of fmt is needed.
#ifdef TARVO_LOG_WITH_FMT
#include <fmt/format.h>

#include <iterator>
#endif

#include "logger/core/safe_pipe.h"
#include "logger/plugin/TarvoLogGate.h"

class TarvoLog final {
 public:
  // The level texts, as the logger and its readers compare them: the disk medium appends its
  // buffer at once for an "ERROR" line, and udplog-recv's forwarder gives each its syslog severity.
  static constexpr std::string_view kTrace = "TRACE";
  static constexpr std::string_view kDebug = "DEBUG";
  static constexpr std::string_view kInfo = "INFO";
  static constexpr std::string_view kWarn = "WARN";
  static constexpr std::string_view kError = "ERROR";
  static constexpr std::string_view kCritical = "CRITICAL";
  static constexpr char kSeparator = '\v';

  // The levels in rising order; a log writes the lines at or above its minimum. Off, as a
  // minimum, writes none.
  enum class Level : unsigned char { trace, debug, info, warn, error, critical, off };

  // A level's text. A Level made from any other number (Level(200)) reads as kCritical: the table
  // is never read past its end.
  static constexpr std::string_view levelText(Level level) {
    const auto index = static_cast<std::size_t>(level);
    return kLevelTexts[index < kLevelCount ? index : kLevelCount - 1];
  }

  TarvoLog() = default;
  // extra is the sixth field of every line written without one of its own ("pid=4242", say);
  // minimum the lowest level written.
  explicit TarvoLog(boost::shared_ptr<safe_pipe<std::string>> pipe, std::string extra = {},
                    Level minimum = Level::trace)
      : target(std::move(pipe)), extraField(std::move(extra)), threshold(minimum) {}
  // The same, its lines passing only while the gate they go through is open.
  TarvoLog(boost::shared_ptr<safe_pipe<std::string>> pipe, std::shared_ptr<TarvoLogGate> through,
           std::string extra = {}, Level minimum = Level::trace)
      : target(std::move(pipe)),
        gate(std::move(through)),
        extraField(std::move(extra)),
        threshold(minimum) {}
  // A copy has the level the original has at that moment; later changes are each one's own.
  TarvoLog(const TarvoLog& other)
      : target(other.target),
        gate(other.gate),
        extraField(other.extraField),
        threshold(other.level()) {}
  TarvoLog& operator=(const TarvoLog& other) {
    target = other.target;
    gate = other.gate;
    extraField = other.extraField;
    setLevel(other.level());
    return *this;
  }
  TarvoLog(TarvoLog&& other) noexcept
      : target(std::move(other.target)),
        gate(std::move(other.gate)),
        extraField(std::move(other.extraField)),
        threshold(other.level()) {}
  TarvoLog& operator=(TarvoLog&& other) noexcept {
    target = std::move(other.target);
    gate = std::move(other.gate);
    extraField = std::move(other.extraField);
    setLevel(other.level());
    return *this;
  }

  explicit operator bool() const { return target != nullptr; }

  // The minimum level, from any thread; a line below it costs this one comparison.
  Level level() const { return threshold.load(std::memory_order_relaxed); }
  void setLevel(Level minimum) { threshold.store(minimum, std::memory_order_relaxed); }
  bool enabled(Level level) const { return level >= threshold.load(std::memory_order_relaxed); }

  // One line at the level the name says, unless that is below the minimum. The message is taken
  // as it is, braces and all.
  void trace(std::string_view source, std::string_view message) const {
    if (enabled(Level::trace)) put(Level::trace, source, message, {});
  }
  void debug(std::string_view source, std::string_view message) const {
    if (enabled(Level::debug)) put(Level::debug, source, message, {});
  }
  void info(std::string_view source, std::string_view message) const {
    if (enabled(Level::info)) put(Level::info, source, message, {});
  }
  void warn(std::string_view source, std::string_view message) const {
    if (enabled(Level::warn)) put(Level::warn, source, message, {});
  }
  void error(std::string_view source, std::string_view message) const {
    if (enabled(Level::error)) put(Level::error, source, message, {});
  }
  void critical(std::string_view source, std::string_view message) const {
    if (enabled(Level::critical)) put(Level::critical, source, message, {});
  }

  // One line with any level text and this line's own extra field, whatever the minimum. A
  // vertical tab, line feed or carriage return in any field is written as a blank, so that no text
  // can forge a field or a line: write(kInfo, "a\vb", "x\ny", "") gives "...\vINFO\va b\vx y\v".
  void write(std::string_view level, std::string_view source, std::string_view message,
             std::string_view extra) const {
    const TarvoLogGate::Passage passage(gate.get());
    if (!passage || !target) return;
    std::string line = begin(level, source, message.size() + extra.size());
    appendField(line, message);
    line += kSeparator;
    appendField(line, extra);
    target->push(std::move(line));
  }

  // The line of a TARVO_INFO(log, source, message) and the like, whose where ("main.cpp:42")
  // follows this log's extra field in the sixth: "pid=4242 main.cpp:42". Not filtered here: the
  // macros test the level first, so that the arguments are not even evaluated below it.
  void writeAt(Level level, std::string_view where, std::string_view source,
               std::string_view message) const {
    put(level, source, message, where);
  }

#ifdef TARVO_LOG_WITH_FMT
  // The message formatted by fmt from the format and at least one argument.
  template <typename Arg, typename... Args>
  void trace(std::string_view source, fmt::format_string<Arg, Args...> format, Arg&& arg,
             Args&&... args) const {
    if (!enabled(Level::trace)) return;
    writeFormatted(Level::trace, {}, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
  template <typename Arg, typename... Args>
  void debug(std::string_view source, fmt::format_string<Arg, Args...> format, Arg&& arg,
             Args&&... args) const {
    if (!enabled(Level::debug)) return;
    writeFormatted(Level::debug, {}, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
  template <typename Arg, typename... Args>
  void info(std::string_view source, fmt::format_string<Arg, Args...> format, Arg&& arg,
            Args&&... args) const {
    if (!enabled(Level::info)) return;
    writeFormatted(Level::info, {}, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
  template <typename Arg, typename... Args>
  void warn(std::string_view source, fmt::format_string<Arg, Args...> format, Arg&& arg,
            Args&&... args) const {
    if (!enabled(Level::warn)) return;
    writeFormatted(Level::warn, {}, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
  template <typename Arg, typename... Args>
  void error(std::string_view source, fmt::format_string<Arg, Args...> format, Arg&& arg,
             Args&&... args) const {
    if (!enabled(Level::error)) return;
    writeFormatted(Level::error, {}, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
  template <typename Arg, typename... Args>
  void critical(std::string_view source, fmt::format_string<Arg, Args...> format, Arg&& arg,
                Args&&... args) const {
    if (!enabled(Level::critical)) return;
    writeFormatted(Level::critical, {}, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
  template <typename Arg, typename... Args>
  void writeAt(Level level, std::string_view where, std::string_view source,
               fmt::format_string<Arg, Args...> format, Arg&& arg, Args&&... args) const {
    writeFormatted(level, where, source, format, std::forward<Arg>(arg),
                   std::forward<Args>(args)...);
  }
#endif

  // Where a file name ends its folders: "src/main.cpp:42" -> 4. Constant, so that the macros
  // keep only the name and line without a cost at run time.
  static constexpr std::size_t baseNameAt(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? 0 : slash + 1;
  }

 private:
  static constexpr std::string_view kLevelTexts[] = {kTrace, kDebug, kInfo,
                                                     kWarn,  kError, kCritical};
  static constexpr std::size_t kLevelCount = sizeof(kLevelTexts) / sizeof(kLevelTexts[0]);

  // A line at level with this log's extra field, and where after it when not empty.
  void put(Level level, std::string_view source, std::string_view message,
           std::string_view where) const {
    // Not without a pipe, nor once the gate is closed (which counts the line); the passage stays
    // open until the line is pushed.
    const TarvoLogGate::Passage passage(gate.get());
    if (!passage || !target) return;
    std::string line =
        begin(levelText(level), source, message.size() + extraField.size() + where.size() + 1);
    appendField(line, message);
    endWithExtra(line, where);
    target->push(std::move(line));
  }

  void endWithExtra(std::string& line, std::string_view where) const {
    line += kSeparator;
    appendField(line, extraField);
    if (where.empty()) return;
    if (!extraField.empty()) line += ' ';
    appendField(line, where);
  }

#ifdef TARVO_LOG_WITH_FMT
  template <typename... Args>
  void writeFormatted(Level level, std::string_view where, std::string_view source,
                      fmt::format_string<Args...> format, Args&&... args) const {
    const TarvoLogGate::Passage passage(gate.get());
    if (!passage || !target) return;
    std::string line =
        begin(levelText(level), source, fmt::string_view(format).size() + extraField.size() + 32);
    const std::size_t at = line.size();
    fmt::format_to(std::back_inserter(line), format, std::forward<Args>(args)...);
    blankBreaks(line, at);
    endWithExtra(line, where);
    target->push(std::move(line));
  }
#endif

  // The line up to and with the separator before the message, with room for rest more bytes.
  static std::string begin(std::string_view level, std::string_view source, std::size_t rest) {
    const std::string_view thread = threadText();
    std::string line;
    line.reserve(kTimeSize + thread.size() + level.size() + source.size() + rest + 5);
    appendTime(line);
    line += kSeparator;
    line += thread;
    line += kSeparator;
    appendField(line, level);
    line += kSeparator;
    appendField(line, source);
    line += kSeparator;
    return line;
  }

  // Most text has no break: it is looked over many bytes at a time, in the caller's text rather
  // than in the copy just written (reading back fresh stores stalls), and rewritten only when one
  // is there.
  static void appendField(std::string& line, std::string_view text) {
    const std::size_t at = line.size();
    const bool breaks = hasBreak(text.data(), text.size());
    line += text;
    if (breaks) blankFrom(line, at);
  }

  // Blanks every separator and line end in line from at on.
  static void blankBreaks(std::string& line, std::size_t at) {
    if (hasBreak(line.data() + at, line.size() - at)) blankFrom(line, at);
  }

  static void blankFrom(std::string& line, std::size_t at) {
    for (std::size_t i = at; i < line.size(); ++i) {
      if (isBreak(line[i])) line[i] = ' ';
    }
  }

  static constexpr bool isBreak(char c) { return c == kSeparator || c == '\n' || c == '\r'; }

  // Whether any of the size bytes at text is a separator or a line end: sixteen bytes at a time
  // where SSE2 is there, else eight. A byte of a word equals c exactly when that byte of
  // word ^ (c in every byte) is zero, and (x - 0x01..) & ~x & 0x80.. is non-zero exactly when some
  // byte of x is zero.
  static bool hasBreak(const char* text, std::size_t size) {
    std::size_t i = 0;
#ifdef __SSE2__
    const __m128i separators = _mm_set1_epi8(kSeparator);
    const __m128i newlines = _mm_set1_epi8('\n');
    const __m128i returns = _mm_set1_epi8('\r');
    for (; i + 16 <= size; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      const __m128i found = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, separators), _mm_cmpeq_epi8(bytes, newlines)),
          _mm_cmpeq_epi8(bytes, returns));
      if (_mm_movemask_epi8(found) != 0) return true;
    }
#endif
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
    auto hasZeroByte = [](std::uint64_t x) { return ((x - kOnes) & ~x & kHighs) != 0; };
    for (; i + 8 <= size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text + i, sizeof(word));
      if (hasZeroByte(word ^ (kOnes * static_cast<unsigned char>(kSeparator))) ||
          hasZeroByte(word ^ (kOnes * '\n')) || hasZeroByte(word ^ (kOnes * '\r'))) {
        return true;
      }
    }
    for (; i < size; ++i) {
      if (isBreak(text[i])) return true;
    }
    return false;
  }

  // "2026-12-07 10:00:00.669", local time. Each thread formats the date and time once a second.
  static constexpr std::size_t kTimeSize = 23;
  static void appendTime(std::string& line) {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const std::time_t second = static_cast<std::time_t>(ms / 1000);
    thread_local std::time_t cachedSecond = -1;
    thread_local char cached[32];
    thread_local std::size_t cachedSize = 0;
    if (second != cachedSecond) {
      std::tm local{};
#ifdef _WIN32
      localtime_s(&local, &second);
#else
      localtime_r(&second, &local);
#endif
      cachedSize = std::strftime(cached, sizeof(cached), "%Y-%m-%d %H:%M:%S", &local);
      cachedSecond = second;
    }
    line.append(cached, cachedSize);
    const int milli = static_cast<int>(ms % 1000);
    const char fraction[4] = {'.', static_cast<char>('0' + milli / 100),
                              static_cast<char>('0' + milli / 10 % 10),
                              static_cast<char>('0' + milli % 10)};
    line.append(fraction, sizeof(fraction));
  }

  // The calling thread's identifier as the system knows it (gettid on Linux, GetCurrentThreadId
  // on Windows), in decimal, found once per thread.
  static std::string_view threadText() {
    thread_local char text[24];
    thread_local std::size_t size = 0;
    if (size == 0) {
#if defined(_WIN32)
      const unsigned long long id = GetCurrentThreadId();
#elif defined(__linux__)
      const unsigned long long id = static_cast<unsigned long long>(::syscall(SYS_gettid));
#else
      const unsigned long long id = std::hash<std::thread::id>()(std::this_thread::get_id());
#endif
      size = static_cast<std::size_t>(std::to_chars(text, text + sizeof(text), id).ptr - text);
    }
    return std::string_view(text, size);
  }

  // Constant after construction. Not const: a client may assign a TarvoLog, as it does to one
  // made before the pipe arrived.
  boost::shared_ptr<safe_pipe<std::string>> target;
  std::shared_ptr<TarvoLogGate> gate;  // null: always open
  std::string extraField;
  // Any thread
  std::atomic<Level> threshold{Level::trace};
};

// TARVO_INFO(log, "auth", "alice in") writes as log.info does, with "file:line" of the call in the
// sixth field after the log's own extra field; below the log's minimum the arguments are not
// evaluated. With TARVO_LOG_WITH_FMT, TARVO_INFO(log, "auth", "{} tries", n) formats as info does.
#define TARVO_LOG_TEXT_(x) #x
#define TARVO_LOG_LINE_(x) TARVO_LOG_TEXT_(x)
#define TARVO_LOG_AT_(log, level, source, ...)                                             \
  do {                                                                                     \
    const TarvoLog& tarvoLogWriter_ = (log);                                               \
    if (tarvoLogWriter_.enabled(level)) {                                                  \
      constexpr const char* tarvoLogWhere_ = __FILE__ ":" TARVO_LOG_LINE_(__LINE__);       \
      constexpr std::size_t tarvoLogName_ = TarvoLog::baseNameAt(tarvoLogWhere_);          \
      tarvoLogWriter_.writeAt(level, tarvoLogWhere_ + tarvoLogName_, source, __VA_ARGS__); \
    }                                                                                      \
  } while (false)
#define TARVO_TRACE(log, source, ...) \
  TARVO_LOG_AT_(log, TarvoLog::Level::trace, source, __VA_ARGS__)
#define TARVO_DEBUG(log, source, ...) \
  TARVO_LOG_AT_(log, TarvoLog::Level::debug, source, __VA_ARGS__)
#define TARVO_INFO(log, source, ...) TARVO_LOG_AT_(log, TarvoLog::Level::info, source, __VA_ARGS__)
#define TARVO_WARN(log, source, ...) TARVO_LOG_AT_(log, TarvoLog::Level::warn, source, __VA_ARGS__)
#define TARVO_ERROR(log, source, ...) \
  TARVO_LOG_AT_(log, TarvoLog::Level::error, source, __VA_ARGS__)
#define TARVO_CRITICAL(log, source, ...) \
  TARVO_LOG_AT_(log, TarvoLog::Level::critical, source, __VA_ARGS__)
