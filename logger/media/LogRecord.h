// One log line split into its six vertical-tab separated fields, and its fixed-width line form.
// A plain value type: a record keeps the bytes of the line that its fields cover, in one string,
// and where each field ends. Field 3 is the level and field 4 the source; the record gives the
// others no meaning. Any thread may use its own records.
#pragma once

#include <array>
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

class LogRecord {
 public:
  static constexpr std::size_t kFieldCount = 6;
  static constexpr char kSeparator = '\x0b';
  // What the line form adds at most to the fields' bytes: widths 22, 12, 10 and 18, and 5
  // characters between fields 4, 5 and 6.
  static constexpr std::size_t kMaxPadding = 22 + 12 + 10 + 18 + 5;

  // The six fields of a line located where they stand, without copying. Refers to the line's
  // bytes, which must outlive it and stay unchanged. Field k is the text between the (k-1)-th and
  // the k-th vertical tab (0x0B); fields the line does not reach stay empty and text after a sixth
  // tab is dropped. Nothing is trimmed or converted. The media test level and source on Fields and
  // copy only what they keep.
  class Fields {
   public:
    explicit Fields(const std::string& line) : Fields(line.data(), line.size()) {}
    Fields(const char* data, std::size_t size);

    // Field i, 0-based (the level is field(2), the source field(3)).
    std::string_view field(std::size_t i) const {
      const std::size_t begin = i == 0                                ? 0
                                : ends[i - 1] < ends[kFieldCount - 1] ? ends[i - 1] + 1
                                                                      : ends[kFieldCount - 1];
      return std::string_view(data + begin, ends[i] - begin);
    }
    std::string_view level() const { return field(2); }
    std::string_view source() const { return field(3); }

    // Length of the line form; the line form written at dest, which has room for lineFormSize()
    // bytes, returning the end of what was written. maxLineFormSize() is at least lineFormSize()
    // and cheaper to know. The line form (no line end):
    //
    //   field1 right-aligned in 22, field2 in 12, field3 in 10, field4 in 18, " ", field5, " -> ",
    //   field6
    //
    // e.g. "a\vb\vc\vd\ve\vf" prints as 21 blanks "a", 11 blanks "b", 9 blanks "c", 17 blanks
    // "d", " e -> f". A field longer than its width is printed whole and pushes the rest right.
    std::size_t lineFormSize() const;
    std::size_t maxLineFormSize() const { return kMaxPadding + ends[kFieldCount - 1]; }
    char* writeLineForm(char* dest) const;
    // Where field i (0 to 3, the fields printed in a width) ends in the line form: where its
    // width ends, or further for a longer field. The level's text is the level().size() bytes
    // before paddedEnd(2).
    std::size_t paddedEnd(std::size_t i) const;

   private:
    friend class LogRecord;
    Fields(const char* theData, const std::array<std::size_t, kFieldCount>& theEnds)
        : data(theData), ends(theEnds) {}

    const char* data;
    // One past the last byte of each field. A field that ends at a tab is followed by the next one
    // after the tab; once a field ends at the end of the line, every later field is empty there.
    // ends[5] is how many bytes of the line the fields cover.
    std::array<std::size_t, kFieldCount> ends;
  };

  LogRecord() = default;
  explicit LogRecord(const std::string& line) { assign(line); }
  explicit LogRecord(const Fields& fields) { assign(fields); }

  // Splits line into this record, reusing the record's storage.
  void assign(const std::string& line) { assign(Fields(line)); }
  // Copies the bytes that fields cover into this record, reusing the record's storage.
  void assign(const Fields& fields);

  Fields fields() const { return Fields(text.data(), ends); }
  std::string_view level() const { return fields().level(); }
  std::string_view source() const { return fields().source(); }

  // Length of the line form; the line form appended to out; the line form written at dest, which
  // has room for lineFormSize() bytes, returning the end of what was written.
  std::size_t lineFormSize() const { return fields().lineFormSize(); }
  void appendLineForm(std::string& out) const;
  char* writeLineForm(char* dest) const { return fields().writeLineForm(dest); }

  void swap(LogRecord& other) noexcept {
    text.swap(other.text);
    ends.swap(other.ends);
  }
  // Equal when all six fields are equal.
  bool operator==(const LogRecord& other) const;

 private:
  std::string text;
  std::array<std::size_t, kFieldCount> ends{};
};

// Writes the line form, without a line end.
std::ostream& operator<<(std::ostream& out, const LogRecord& record);
