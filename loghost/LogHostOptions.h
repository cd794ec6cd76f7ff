// loghost's command line, parsed once at start-up.
//
//   loghost [options] [FILE ...]
// Options and files in any order, as GNU tools take them (see OptionParser). Throws UsageError
// (exit status 2) for an unknown option, a missing argument, a -P/-H without "=", --no-input with
// input files, a --queue-limit that is not a size, or a
// --metrics-interval that is not a number of seconds. -h/--help sets help, --version sets version.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/OptionParser.h"

struct LogHostOptions {
  using UsageError = OptionParser::UsageError;

  static const char* usage();
  static LogHostOptions parse(int argc, char** argv);

  std::string plugin;  // empty: the plug-in beside the loghost executable
  std::vector<std::string> hostConfigFiles;
  std::vector<std::string> pluginConfigFiles;
  std::vector<std::pair<std::string, std::string>> hostValues;
  std::vector<std::pair<std::string, std::string>> pluginValues;
  bool hasSeparator = false;
  char separator = 0;
  bool dump = false;
  std::vector<std::string> components;  // client libraries loaded beside the logger
  bool help = false;
  bool version = false;
  std::vector<std::string> inputs;  // empty or "-": standard input
  bool noInput = false;             // read nothing; run the components until a stop signal
  // Reading waits while the lines queued for the logger cost more than this (bytes).
  unsigned long long queueLimit = 64ull << 20;
  // Start the logger and the components, report the settings they did not take, and stop.
  bool check = false;
  // Settings mistakes are warnings and the run goes on, instead of errors that stop it.
  bool lenient = false;
  std::string metricsFile;  // empty: none
  std::chrono::milliseconds metricsInterval{15000};
};
