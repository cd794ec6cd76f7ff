#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "logger/media/CircularMedia.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::pluginConfig;

const std::string VT = "\x0b";

std::string line(int n, const std::string& source = "core") {
  return "2026-12-07 10:00:00" + VT + "T" + std::to_string(n) + VT + "INFO" + VT + source + VT +
         "message " + std::to_string(n) + VT + "details";
}

std::string dumpOf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) {
    LogRecord(l).appendLineForm(text);
    text += "\r\n";
  }
  return text;
}

class CircularMediaTest : public ::testing::Test {
 protected:
  testsupport::CleanConfig config;
};

TEST_F(CircularMediaTest, KeepsTheMostRecentRecordsOldestFirst) {
  CircularMedia media;
  EXPECT_EQ("", media.getRawData());
  std::vector<std::string> written;
  for (int n = 1; n <= 25; ++n) {
    written.push_back(line(n));
    media.write(written.back());
  }
  std::string dump = media.getRawData();
  EXPECT_EQ(dumpOf({written.begin() + 5, written.end()}), dump);
  EXPECT_EQ(dump, media.getRawData()) << "a dump changes nothing";
  media.flush();
  EXPECT_EQ(dump, media.getRawData()) << "flush changes nothing";
}

TEST_F(CircularMediaTest, CapacityComesFromConfiguration) {
  struct Case {
    const char* value;
    std::size_t capacity;
  };
  const Case cases[] = {{"5", 5},   {"1", 1},     {"65535", 65535}, {"abc", 20},
                        {" 5", 20}, {"5 ", 20},   {"70000", 20},    {"", 20},
                        {"-1", 20}, {"0x10", 20}, {nullptr, 20}};
  for (const Case& c : cases) {
    if (c.value) {
      pluginConfig().setValue("TarvoLogger/BufferSize", c.value);
    } else {
      pluginConfig().removeValue("TarvoLogger/BufferSize");
    }
    CircularMedia media;
    EXPECT_EQ(c.capacity, media.capacity()) << (c.value ? c.value : "(missing)");
  }

  pluginConfig().setValue("TarvoLogger/BufferSize", "5");
  CircularMedia five;
  std::vector<std::string> written;
  for (int n = 1; n <= 12; ++n) {
    written.push_back(line(n));
    five.write(written.back());
  }
  EXPECT_EQ(dumpOf({written.end() - 5, written.end()}), five.getRawData());

  pluginConfig().setValue("TarvoLogger/BufferSize", "1");
  CircularMedia one;
  for (int n = 1; n <= 3; ++n) one.write(line(n));
  EXPECT_EQ(dumpOf({line(3)}), one.getRawData());

  pluginConfig().setValue("TarvoLogger/BufferSize", "0");
  CircularMedia none;
  for (int n = 1; n <= 3; ++n) none.write(line(n));
  EXPECT_EQ("", none.getRawData());
}

TEST_F(CircularMediaTest, InterfaceTrafficIsLeftOutBySourceOnly) {
  CircularMedia media;
  media.write(line(1, "abc_interface_x"));
  media.write(line(2, "_interface"));
  media.write(line(3, "net_Interface"));
  media.write(line(4, "netinterface"));
  std::string inOtherField = "t" + VT + "_interface" + VT + "INFO" + VT + "core" + VT + "m";
  media.write(inOtherField);
  media.write("a line without any tab");
  EXPECT_EQ(dumpOf({line(3, "net_Interface"), line(4, "netinterface"), inOtherField,
                    "a line without any tab"}),
            media.getRawData());
  std::string noTabs = "a line without any tab" + std::string(42, ' ') + "-> \r\n";
  EXPECT_NE(std::string::npos, media.getRawData().find(noTabs));
}

TEST_F(CircularMediaTest, ABurstLeavesTheRingAsLineByLineWritesWould) {
  // Bursts shorter and longer than the ring, interface lines among the newest, a ring of none.
  for (const char* capacity : {"3", "0"}) {
    pluginConfig().setValue("TarvoLogger/BufferSize", capacity);
    CircularMedia oneByOne, inBursts;
    for (int first : {1, 3, 100}) {
      std::vector<std::string> texts;
      for (int n = first; n < first * 2 + 1; ++n)
        texts.push_back(line(n, n % 4 ? "core" : "a_interface"));
      std::vector<const std::string*> lines;
      for (const std::string& text : texts) {
        oneByOne.write(text);
        lines.push_back(&text);
      }
      inBursts.writeBurst(lines, [](const std::exception& e) { FAIL() << e.what(); });
      EXPECT_EQ(oneByOne.getRawData(), inBursts.getRawData()) << capacity << ", " << first;
    }
  }
}

TEST_F(CircularMediaTest, DumpsDuringWritesShowWholeRecordsInOrder) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "50");
  CircularMedia media;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int n = 0; n < 20000; ++n) media.write(line(n));
    done = true;
  });
  int dumps = 0;
  while (!done || dumps < 10) {
    std::string dump = media.getRawData();
    ++dumps;
    // Every record is a whole line form, and the numbers follow each other.
    int previous = -1;
    std::size_t start = 0;
    while (start < dump.size()) {
      std::size_t end = dump.find("\r\n", start);
      ASSERT_NE(std::string::npos, end) << "torn dump";
      std::string record = dump.substr(start, end - start);
      std::size_t at = record.find("message ");
      ASSERT_NE(std::string::npos, at) << record;
      int n = std::stoi(record.substr(at + 8));
      ASSERT_EQ(LogRecord(line(n)).lineFormSize(), record.size()) << record;
      if (previous >= 0) {
        ASSERT_EQ(previous + 1, n);
      }
      previous = n;
      start = end + 2;
    }
  }
  writer.join();
}

}  // namespace
