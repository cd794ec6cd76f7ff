// Reads a command line as GNU tools do: "--opt value", "--opt=value", "-o value", "-ovalue",
// a unique prefix of a long name ("--queue=4M"), "--" to end the options, and operands ("-"
// among them) in any place. Each program lists its options with a handler for each; parse()
// calls the handlers in command-line order. Built on getopt_long, which keeps its state in
// globals: parse() is for the main thread, one parse at a time.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class OptionParser final {
 public:
  // A command line that cannot be read: one line naming the option and what is wrong with it.
  class UsageError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };
  using Flag = std::function<void()>;
  // option: the name as given, "-s" or "--separator" (a prefix shown whole).
  using Value = std::function<void(const std::string& option, const std::string& value)>;

  // longName "" or shortName '\0': the option has no such form.
  void flag(const std::string& longName, char shortName, Flag handler);
  void value(const std::string& longName, char shortName, Value handler);

  // Returns the operands in order. Throws UsageError for an unknown or ambiguous option, a
  // value missing or given to a flag; the handlers may throw it too.
  std::vector<std::string> parse(int argc, char** argv) const;

 private:
  struct Entry {
    std::string longName;
    char shortName;
    Flag flag;    // set for an option without a value
    Value value;  // set for an option with one
  };

  const Entry* entryFor(int code) const;
  std::string refusal(int code, const char* given) const;

  std::vector<Entry> entries_;
};
