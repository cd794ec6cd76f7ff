#include "loghost/LogHostOptions.h"

#include <cstdlib>

#include "logger/core/DecimalText.h"
#include "platform/OptionParser.h"

namespace {

std::pair<std::string, std::string> keyValue(const std::string& option, const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw LogHostOptions::UsageError(option + " needs KEY=VALUE, not \"" + text + "\"");
  }
  return {text.substr(0, equals), text.substr(equals + 1)};
}

// "64M": a whole number of bytes with an optional K, M or G (binary multiples), from 1 KiB to
// 2^50 bytes.
unsigned long long byteSize(const std::string& option, const std::string& text) {
  std::size_t digits = 0;
  unsigned long long value = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' &&
         value < (1ull << 50)) {
    value = value * 10 + static_cast<unsigned>(text[digits++] - '0');
  }
  const std::string suffix = text.substr(digits);
  unsigned shift = 0;
  if (suffix == "K" || suffix == "k")
    shift = 10;
  else if (suffix == "M" || suffix == "m")
    shift = 20;
  else if (suffix == "G" || suffix == "g")
    shift = 30;
  else if (!suffix.empty())
    digits = 0;
  if (digits == 0 || value > (1ull << 50) >> shift || (value << shift) < 1024) {
    throw LogHostOptions::UsageError(
        option + " needs a size from 1K to 1048576G, like 64M, not \"" + text + "\"");
  }
  return value << shift;
}

// "15" or "0.5": decimal seconds, from a millisecond to a day.
std::chrono::milliseconds seconds(const std::string& option, const std::string& text) {
  const double value = decimalValue(text);
  if (!(value >= 0.001 && value <= 86400)) {
    throw LogHostOptions::UsageError(option + " needs seconds from 0.001 to 86400, not \"" + text +
                                     "\"");
  }
  return std::chrono::milliseconds(static_cast<long long>(value * 1000));
}

}  // namespace

const char* LogHostOptions::usage() {
  return "usage: loghost [options] [FILE ...]\n"
         "Loads the logger plug-in, pushes every input line into its pipe (obtained over the bus\n"
         "with GET_LOGGER_QUEUE), then shuts the logger down. Input: the files in order, or\n"
         "standard input when none is given or FILE is \"-\". Lines end at \"\\n\"; every other\n"
         "byte is pushed unchanged.\n"
         "  --plugin PATH          plug-in library (default: lib000udploggerplugin.so beside "
         "loghost)\n"
         "  --host-config FILE     INI file for the host scope (repeatable)\n"
         "  --plugin-config FILE   INI file for the plug-in scope (repeatable)\n"
         "  -H KEY=VALUE           set a host-scope key, e.g. -H Directories/VarPath=/var/log/app\n"
         "  -P KEY=VALUE           set a plug-in-scope key, e.g. -P "
         "TarvoLogger/StorageFormat=file\n"
         "                         \"KEY=\" sets an empty value, which differs from no value\n"
         "  -s, --separator C      turn every character C of a line into a vertical tab\n"
         "  --dump                 when the input ends, print the logger's raw data "
         "(GET_RAW_DATA)\n"
         "  --component LIB        also load LIB, create and start every component it registers\n"
         "                         (a client of the logger), and shut them down before the\n"
         "                         logger (repeatable)\n"
         "  --no-input             read no input: run the components (--component) until SIGINT\n"
         "                         or SIGTERM, as a long-lived host\n"
         "  --queue-limit SIZE     stop reading input while the lines queued for the logger\n"
         "                         take more than SIZE bytes (K, M, G suffixes; default 64M)\n"
         "  --check                start the logger and the components, report every settings\n"
         "                         mistake, stop them and exit (0: none, 2: some); no input\n"
         "  --lenient              run despite settings mistakes, reporting them as warnings\n"
         "  --metrics-file PATH    write the run's counts in the Prometheus text format to PATH\n"
         "                         (replaced whole each time, for node_exporter's textfile\n"
         "                         collector), every interval and at the end\n"
         "  --metrics-interval S   seconds between metrics writes (default 15)\n"
         "  -h, --help             this text\n"
         "  --version              the version\n"
         "Values given with -H/-P win over the files. Standard output carries only the dump and\n"
         "the plug-in's shutdown line. SIGUSR1 prints a status line on standard error.\n"
         "A settings mistake (a key nothing reads or given in the wrong scope, a StorageFormat\n"
         "other than udp, file or circular, a number the logger would replace by its default)\n"
         "stops loghost before it reads input, unless --lenient is given.\n"
         "Lines of 20 bytes or fewer are dropped by the logger; loghost says so and counts them.\n"
         "Exit status: 0 success; 1 failure, also when the logger lost lines (a summary line\n"
         "says how many and why); 2 usage error or settings mistake; 128+N stopped by signal N\n"
         "(SIGINT, SIGTERM, SIGHUP and the like), every line read stored all the same.\n";
}

LogHostOptions LogHostOptions::parse(int argc, char** argv) {
  LogHostOptions o;
  auto into = [](std::string& field) {
    return [&field](const std::string&, const std::string& text) { field = text; };
  };
  auto append = [](std::vector<std::string>& list) {
    return [&list](const std::string&, const std::string& text) { list.push_back(text); };
  };
  OptionParser parser;
  parser.flag("help", 'h', [&] { o.help = true; });
  parser.flag("version", '\0', [&] { o.version = true; });
  parser.value("plugin", '\0', into(o.plugin));
  parser.value("host-config", '\0', append(o.hostConfigFiles));
  parser.value("plugin-config", '\0', append(o.pluginConfigFiles));
  parser.value("", 'H',
               [&](auto& name, auto& text) { o.hostValues.push_back(keyValue(name, text)); });
  parser.value("", 'P',
               [&](auto& name, auto& text) { o.pluginValues.push_back(keyValue(name, text)); });
  parser.value("separator", 's', [&](const std::string& name, const std::string& c) {
    if (c.size() != 1) throw UsageError(name + " needs exactly one character, not \"" + c + "\"");
    o.hasSeparator = true;
    o.separator = c[0];
  });
  parser.flag("dump", '\0', [&] { o.dump = true; });
  parser.value("component", '\0', append(o.components));
  parser.value("queue-limit", '\0',
               [&](auto& name, auto& text) { o.queueLimit = byteSize(name, text); });
  parser.flag("no-input", '\0', [&] { o.noInput = true; });
  parser.flag("check", '\0', [&] { o.check = true; });
  parser.flag("lenient", '\0', [&] { o.lenient = true; });
  parser.value("metrics-file", '\0', [&](const std::string&, const std::string& path) {
    if (path.empty()) throw UsageError("--metrics-file needs a file name");
    o.metricsFile = path;
  });
  parser.value("metrics-interval", '\0',
               [&](auto& name, auto& text) { o.metricsInterval = seconds(name, text); });
  o.inputs = parser.parse(argc, argv);
  if (o.noInput && !o.inputs.empty()) throw UsageError("--no-input takes no input files");
  return o;
}
