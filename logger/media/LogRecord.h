// One log line split into its six vertical-tab separated fields, and its fixed-width line form.
//
// A plain value type. Field 3 is the level and field 4 the source; the record gives the others no
// meaning. Splitting: field k is the text between the (k-1)-th and the k-th vertical tab (0x0B);
// fields the line does not reach stay empty and text after a sixth tab is dropped. Nothing is
// trimmed or converted. Line form (no line end):
//
//   field1 right-aligned in 22, field2 in 12, field3 in 10, field4 in 18, " ", field5, " -> ",
//   field6
//
// e.g. "a\vb\vc\vd\ve\vf" prints as 21 blanks "a", 11 blanks "b", 9 blanks "c", 17 blanks "d",
// " e -> f". A field longer than its width is printed whole and pushes the rest to the right.
#pragma once

#include <array>
#include <ostream>
#include <string>

class LogRecord {
 public:
  static constexpr std::size_t kFieldCount = 6;
  static constexpr char kSeparator = '\x0b';

  LogRecord() = default;
  explicit LogRecord(const std::string& line) { assign(line); }

  // Splits line into this record, reusing the fields' storage.
  void assign(const std::string& line);

  const std::string& level() const { return fields_[2]; }
  const std::string& source() const { return fields_[3]; }

  // Length of the line form; the line form appended to out; the line form written at dest, which
  // has room for lineFormSize() bytes, returning the end of what was written.
  std::size_t lineFormSize() const;
  void appendLineForm(std::string& out) const;
  char* writeLineForm(char* dest) const;

  void swap(LogRecord& other) noexcept { fields_.swap(other.fields_); }
  bool operator==(const LogRecord& other) const { return fields_ == other.fields_; }

 private:
  std::array<std::string, kFieldCount> fields_;
};

// Writes the line form, without a line end.
std::ostream& operator<<(std::ostream& out, const LogRecord& record);
