// The logger inside any program: one object loads the plug-in, starts it on the process's bus and
// hands out TarvoLog writers, as loghost does for its input.
//
//   EmbeddedLogger logger({{"TarvoLogger/StorageFormat", "file"}});
//   logger.log().info("main", "job 42 done");
//
// Without a "TarvoLogger/StorageFormat" of the program's the lines go to standard error
// ("console").
//
// The program owns it; one may live in a process at a time (the configuration and the bus are
// the process's), and one after another each starts from only its own settings. log(), writer()
// and the writers work from any thread, also while finish() runs; construction, finish() and
// destruction belong to one thread. Lines written once finish() began are dropped and counted.
//
// Through a program's life: exit() and an uncaught exception (std::terminate) finish the running
// logger first, so every line written before them is stored; abort(), _exit() and a fatal signal
// do not. A fork's child cannot use the inherited logger, whose threads stayed in the parent: its
// lines are dropped and counted (said once), its finish() and destructor return at once, and the
// child may make an EmbeddedLogger of its own. exec after fork, and posix_spawn, cost nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "logger/host/HostApi.h"
#include "logger/plugin/TarvoLog.h"
#include "logger/plugin/TarvoLogGate.h"
#include "logger/plugin/TarvoLoggerPayloads.h"

class HOST_API EmbeddedLogger final {
 public:
  struct Settings {
    // Keys and values as the INI files have them. A key of the Directories section
    // ("Directories/VarPath") goes to the host scope, every other to the plug-in scope. Set after
    // the files, so they win over them.
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> hostFiles;    // INI files of the host scope
    std::vector<std::string> pluginFiles;  // INI files of the plug-in scope
    // The plug-in library; empty: the one installed with the host library (or beside it).
    std::string plugin;
    // A setting that no component reads, or a value the logger would replace by its default, is
    // then a warning on standard error instead of an error.
    bool lenient = false;
    // log()'s minimum level and extra field.
    TarvoLog::Level level = TarvoLog::Level::trace;
    std::string extra;
  };

  // Configures the process's two scopes from nothing but settings, gives a per-user log folder
  // when files are to be written without Directories/VarPath (as loghost does), loads and starts
  // the logger and takes its pipe. Throws std::runtime_error with one line naming the cause when
  // another embedded logger lives, a file does not read, the plug-in does not load or start, or a
  // setting will not do what it says (unless lenient); nothing is left running then. For the files
  // it sets TarvoLogger/FlushSeconds to 1 unless the settings give it.
  explicit EmbeddedLogger(Settings settings);
  EmbeddedLogger(std::initializer_list<std::pair<std::string, std::string>> values = {});
  EmbeddedLogger(const EmbeddedLogger&) = delete;
  EmbeddedLogger& operator=(const EmbeddedLogger&) = delete;
  // finish() when the program did not call it; reports a loss or a failure on standard error,
  // never throws.
  ~EmbeddedLogger();

  // The logger's own writer, with the settings' level and extra field; setLevel on it changes it
  // for every later call through log().
  TarvoLog& log() { return ownLog; }
  // A writer of its own for a thread or a part of the program.
  TarvoLog writer(std::string extra = {}, TarvoLog::Level minimum = TarvoLog::Level::trace) const;

  // Stores every line pushed before the call (a writer still making its line is waited for, 5 s
  // at most), shuts the logger down and unloads it, and returns
  // its final counts (lost > 0: lines it could not store). Later calls return the same counts.
  // Writers kept past it, and those made after it, drop their lines without formatting them; the
  // first such line is said on standard error at once, and the destructor says how many.
  TarvoLoggerStatsData finish();
  // Lines written through this logger's writers once finish() had begun, dropped.
  std::uint64_t droppedAfterFinish();

  // The medium's raw data once the worker has handled every line pushed before the call: the
  // ring's records with "TarvoLogger/StorageFormat=circular", or another medium's fixed
  // description ("Storage Format is Console Media"). Waits while the worker waits on its medium.
  // Throws std::runtime_error naming the cause after finish(), or when the logger does not
  // answer. The thread that constructs and finishes the logger calls it.
  std::string dump();

  // Finishes the running logger, as its destructor would, when called in the process that made it
  // and not on one of the logger's own threads; else does nothing. The handler at exit() that the
  // logger registers once it runs (on Windows the one this header registers) and the handler at
  // std::terminate call it.
  static void finishRunningAtExit();

 private:
  struct Running;

  // The destructor's work: finish(), then say a loss and the lines dropped. Never throws.
  void finishAndSay() noexcept;
  // Once per process, at the first start: the handlers at exit() and std::terminate and the
  // fork's child handler.
  static void installHandlers();
  // std::terminate's handler while a logger ran once: finishes it, then calls the handler the
  // program had (or aborts).
  [[noreturn]] static void finishAtTerminate();
  // The fork's child handler: the inherited logger's threads stayed in the parent, so it is
  // marked forked (its gate closed, finish() returning at once) and the bus is forgotten.
  static void forgetInChild();

  // Counts as dropped the writers' lines that reached the pipe after the core's last sweep.
  void takeLateLines();

  // The running logger; null once finished.
  std::unique_ptr<Running> running;
  // Shared with every writer handed out, which outlive the logger as the program likes.
  std::shared_ptr<TarvoLogGate> gate = std::make_shared<TarvoLogGate>();
  // The logger's pipe, constant after construction so that writer() may read it from any thread
  // at any time; past finish() only the lines a writer pushed as the gate closed reach it.
  boost::shared_ptr<safe_pipe<std::string>> pipe;
  TarvoLog ownLog;
  TarvoLoggerStatsData finalCounts;
  // Short lines that dump() pushed, left out of finalCounts.tooShort.
  std::uint64_t fenceLines = 0;
  // In a forked child: the logger is the parent's and does not run here.
  bool forked = false;
  // finish() is under way on the thread that holds the finishing lock.
  bool finishingNow = false;
};

#if defined(_WIN32)
// A DLL's exit handlers run after ExitProcess has ended every other thread, the logger's worker
// too, so the handler that finishes a running logger at exit() is registered from the program's
// own module, whose handlers run while the threads still live.
inline const int tarvoEmbeddedLoggerAtExit = std::atexit(&EmbeddedLogger::finishRunningAtExit);
#endif
