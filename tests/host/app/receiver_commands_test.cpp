#include "host/app/receiver_commands.h"

#include <gtest/gtest.h>

#include "host/base/recording_log_sink.h"

namespace veyra {
namespace {

TEST(ReceiverCommandsTest, ListsReceiversInAnswerOrderWithAddressFallback) {
  const std::vector<DiscoveredReceiver> found = {
      {"Pixel._veyra._tcp.local", "pixel.local", "192.168.1.20", 47820},
      {"Tablet._veyra._tcp.local", "tablet.local", "", 5000},
      {"A-name-longer-than-28-chars._veyra._tcp.local", "x.local", "fe80::1", 1},
  };
  EXPECT_EQ(ReceiverListing(found),
            "  Pixel._veyra._tcp.local      192.168.1.20:47820\n"
            "  Tablet._veyra._tcp.local     tablet.local:5000\n"
            "  A-name-longer-than-28-chars._veyra._tcp.local fe80::1:1\n");
  EXPECT_EQ(ReceiverListingExitCode(found), 0);
  EXPECT_EQ(ReceiverListingExitCode({}), 1);
  EXPECT_EQ(ReceiverListing({}),
            "none found. Use --host <addr>, or check that the receiver app is running\n"
            "and that mDNS is not blocked on this network (SDD 8.1).\n");
}

TEST(ReceiverCommandsTest, DiscoveryTakesTheFirstAnswer) {
  Options options;
  UseFirstReceiver({}, options);
  EXPECT_EQ(options.host, "");
  EXPECT_EQ(options.port, kDefaultPort);

  std::string log;
  {
    const RecordingLogSink sink(&log);
    UseFirstReceiver({{"Tablet._veyra._tcp.local", "tablet.local", "", 5000},
                      {"Pixel._veyra._tcp.local", "pixel.local", "192.168.1.20", 47820}},
                     options);
  }
  EXPECT_EQ(options.host, "tablet.local");
  EXPECT_EQ(options.port, 5000);
  EXPECT_NE(log.find("] INFO  discovered Tablet._veyra._tcp.local at tablet.local:5000\n"),
            std::string::npos);
}

}  // namespace
}  // namespace veyra
