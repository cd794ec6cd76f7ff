#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>
#include <string>
#include <vector>

#include "logger/media/UdpMedia.h"
#include "platform/Datagram.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpReceiver.h"

class UdpMediaTestPeer {
 public:
  static void setSequence(UdpMedia& media, std::uint32_t sequence) { media.sequence = sequence; }
};

namespace {

using testsupport::pluginConfig;
using testsupport::UdpReceiver;

class UdpMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pluginConfig().setValue("TarvoLogger/StorageFormat", "udp");
    pluginConfig().setValue("TarvoLogger/Port", std::to_string(receiver.port()));
  }
  testsupport::CleanConfig config;
  UdpReceiver receiver;
};

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

TEST_F(UdpMediaTest, LinesLeaveAsNumberedFragmentsOfAtMost50000Bytes) {
  UdpMedia media;
  const std::string l30 = pattern(30), l50000 = pattern(50000), l50001 = pattern(50001),
                    l120000 = pattern(120000);
  media.write(l30);
  media.write(l50000);
  media.write(l50001);
  media.write(l120000);
  EXPECT_EQ("1:1/1|" + l30, receiver.receive());
  EXPECT_EQ("2:1/1|" + l50000, receiver.receive());
  EXPECT_EQ("3:1/2|" + l50001.substr(0, 50000), receiver.receive());
  EXPECT_EQ("3:2/2|" + l50001.substr(50000), receiver.receive());
  EXPECT_EQ("4:1/3|" + l120000.substr(0, 50000), receiver.receive());
  EXPECT_EQ("4:2/3|" + l120000.substr(50000, 50000), receiver.receive());
  EXPECT_EQ("4:3/3|" + l120000.substr(100000), receiver.receive());
  EXPECT_EQ("Storage Format is Udp Media", media.getRawData());
  media.flush();
  media.flush();
  media.write("after flush");
  EXPECT_EQ("5:1/1|after flush", receiver.receive());
}

TEST_F(UdpMediaTest, EveryLineTakesANumberAndTheNumberWrapsToOne) {
  UdpMedia media;
  media.write("first");
  media.write("");  // sends nothing but uses number 2
  media.write("third");
  EXPECT_EQ("1:1/1|first", receiver.receive());
  EXPECT_EQ("3:1/1|third", receiver.receive());

  UdpMediaTestPeer::setSequence(media, 4294967294u);
  media.write("a");
  media.write("b");
  media.write("c");
  EXPECT_EQ("4294967294:1/1|a", receiver.receive());
  EXPECT_EQ("4294967295:1/1|b", receiver.receive());
  EXPECT_EQ("1:1/1|c", receiver.receive());
}

TEST_F(UdpMediaTest, PayloadBytesArriveUnchanged) {
  UdpMedia media;
  const std::string bytes("\x0b\r\n\0\xff|:/ end", 12);
  media.write(bytes);
  EXPECT_EQ("1:1/1|" + bytes, receiver.receive());
}

TEST_F(UdpMediaTest, DestinationFromConfiguration) {
  struct Case {
    const char* port;
    unsigned short expected;
  };
  const Case cases[] = {{"5000", 5000}, {"70000", 4444}, {"abc", 4444},  {" 5000", 4444},
                        {"", 4444},     {"-1", 4444},    {nullptr, 4444}};
  for (const Case& c : cases) {
    if (c.port) {
      pluginConfig().setValue("TarvoLogger/Port", c.port);
    } else {
      pluginConfig().removeValue("TarvoLogger/Port");
    }
    UdpMedia media;
    EXPECT_EQ(c.expected, media.destinationEndpoint().port()) << (c.port ? c.port : "(missing)");
    EXPECT_EQ("127.0.0.1", media.destinationEndpoint().address().to_string());
  }
  for (const char* ip : {"localhost", "not an address", "", "127.0.0.1 ", "300.1.1.1"}) {
    pluginConfig().setValue("TarvoLogger/Ip", ip);
    EXPECT_THROW(UdpMedia media, boost::system::system_error) << '"' << ip << '"';
  }
}

TEST_F(UdpMediaTest, IPv6DestinationsReceiveTheirDatagrams) {
  std::unique_ptr<UdpReceiver> v6;
  try {
    v6.reset(new UdpReceiver("::1"));
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  pluginConfig().setValue("TarvoLogger/Ip", "::1");
  pluginConfig().setValue("TarvoLogger/Port", std::to_string(v6->port()));
  UdpMedia media;
  media.write("over IPv6");
  EXPECT_EQ("1:1/1|over IPv6", v6->receive());
}

TEST_F(UdpMediaTest, AFailedSendIsReportedAfterTheRestOfTheLineIsSent) {
  pluginConfig().setValue("TarvoLogger/Port", "0");  // the kernel refuses to send to port 0
  UdpMedia media;
  try {
    media.write(std::string(120000, 'x'));
    FAIL() << "a failed send must be reported";
  } catch (const boost::system::system_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("sending to 127.0.0.1:0")) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("3 of 3 datagrams")) << e.what();
  }
  EXPECT_THROW(media.write("the next line is tried too"), boost::system::system_error);
}

TEST_F(UdpMediaTest, ABurstLeavesInOrderAcrossBatchesAndEachLineThatLostADatagramIsReported) {
  // A three-datagram line across the end of the first batch, between short lines.
  std::vector<std::string> texts;
  for (std::size_t i = 0; i + 2 < Datagram::kBatch; ++i)
    texts.push_back("line " + std::to_string(i));
  texts.push_back(pattern(120000));
  texts.push_back("");
  texts.push_back("last");
  std::vector<const std::string*> lines;
  for (const std::string& text : texts) lines.push_back(&text);
  std::vector<std::string> failures;
  const auto failed = [&](const std::exception& e) { failures.push_back(e.what()); };
  {
    UdpMedia media;
    media.writeBurst(lines, failed);
    EXPECT_TRUE(failures.empty());
    for (std::size_t i = 0; i + 2 < Datagram::kBatch; ++i) {
      EXPECT_EQ(std::to_string(i + 1) + ":1/1|" + texts[i], receiver.receive());
    }
    const std::string n = std::to_string(Datagram::kBatch - 1);
    EXPECT_EQ(n + ":1/3|" + texts[Datagram::kBatch - 2].substr(0, 50000), receiver.receive());
    EXPECT_EQ(n + ":2/3|" + texts[Datagram::kBatch - 2].substr(50000, 50000), receiver.receive());
    EXPECT_EQ(n + ":3/3|" + texts[Datagram::kBatch - 2].substr(100000), receiver.receive());
    EXPECT_EQ(std::to_string(Datagram::kBatch + 1) + ":1/1|last", receiver.receive());
  }
  pluginConfig().setValue("TarvoLogger/Port", "0");  // the kernel refuses to send to port 0
  UdpMedia media;
  media.writeBurst(lines, failed);
  ASSERT_EQ(Datagram::kBatch, failures.size()) << "one report per line that lost a datagram";
  EXPECT_NE(std::string::npos, failures[Datagram::kBatch - 2].find("(3 of 3 datagrams"));
  EXPECT_NE(std::string::npos, failures.back().find("sending to 127.0.0.1:0 (1 of 1 datagrams"));
  EXPECT_EQ(Datagram::kBatch, media.lostLines());
}

TEST_F(UdpMediaTest, NobodyListeningCostsOnlyThoseDatagrams) {
  unsigned short port;
  {
    UdpReceiver closed;
    port = closed.port();
  }
  pluginConfig().setValue("TarvoLogger/Port", std::to_string(port));
  UdpMedia media;
  for (int i = 0; i < 5; ++i) media.write("into the void " + std::to_string(i));
  UdpReceiver late("127.0.0.1", port);
  media.write("heard");
  EXPECT_EQ("6:1/1|heard", late.receive());
}

}  // namespace
