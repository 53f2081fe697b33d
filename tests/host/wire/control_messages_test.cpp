#include "host/wire/control_messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/wire/protocol_error.h"

namespace veyra {
namespace {

TEST(ControlMessageWriteTest, WritesKeysInTheFixedOrder) {
  HelloAck ack;
  ack.hostId = "host-1";
  ack.hostName = "Desk \"PC\"";
  EXPECT_EQ(Serialize(BuildHelloAck(ack)),
            R"({"protocolVersion":1,"hostPlatform":"windows","hostVersion":"0.1.0",)"
            R"("codec":"h264","features":["idr-request","set-bitrate","keepalive",)"
            R"("host-stats","pairing"],"hostId":"host-1","hostName":"Desk \"PC\"","token":""})");

  // A stored token goes last too.
  ack.token = "tok/1";
  const JsonValue withToken = BuildHelloAck(ack);
  ASSERT_EQ(withToken.members().size(), 8u);
  EXPECT_EQ(withToken.members().back().first, "token");
  EXPECT_EQ(withToken.members().back().second.text(), "tok/1");

  EXPECT_EQ(Serialize(BuildVideoConfig(VideoConfig{})),
            R"({"codec":"h264","width":1920,"height":1080,"fps":60,"bitrateBps":12000000,)"
            R"("profile":"high","level":"4.2"})");

  HostStats stats;
  stats.fps = 59.94;
  stats.bitrateBps = 8123456789;
  stats.captureMs = 1.5;
  stats.convertMs = 0.25;
  stats.encodeMs = 4;
  stats.networkMs = 16.67;
  stats.e2eP50Ms = 33.333333333333336;
  stats.e2eP95Ms = 1e-7;
  stats.encoderQueue = 2;
  stats.droppedFrames = 3;
  stats.rttMs = 0.1;
  EXPECT_EQ(Serialize(BuildHostStats(stats)),
            R"({"fps":59.94,"bitrateBps":8123456789,"captureMs":1.5,"convertMs":0.25,)"
            R"("encodeMs":4,"networkMs":16.67,"e2eP50Ms":33.333333333333336,"e2eP95Ms":1e-7,)"
            R"("encoderQueue":2,"droppedFrames":3,"rttMs":0.1})");
  stats.fps = 60.0;
  EXPECT_EQ(Serialize(BuildHostStats(stats)).substr(0, 10), R"({"fps":60,)");

  EXPECT_EQ(Serialize(BuildError({kErrorNoEncoder, kTextNoEncoder})),
            R"({"code":"NO_ENCODER","message":"no usable H.264 encoder"})");
  EXPECT_EQ(Serialize(BuildError({kErrorNoDisplay, kTextScreenNotReady})),
            R"({"code":"NO_DISPLAY","message":"the PC's screen is not available yet; it will )"
            R"(appear in a moment."})");
}

std::string Describe(const DeviceInfo& d) {
  return d.model + " " + std::to_string(d.widthPx) + "x" + std::to_string(d.heightPx) + " " +
         std::to_string(d.densityDpi) + "dpi " + std::to_string(d.refreshHz) + "Hz ll" +
         std::to_string(d.h264LowLatency) + " hevc" + std::to_string(d.hevc) + " max" +
         std::to_string(d.maxDecodeWidth) + "x" + std::to_string(d.maxDecodeHeight) + " touch" +
         std::to_string(d.touch) + " folded" + std::to_string(d.folded) + " rot" +
         std::to_string(d.rotation);
}

TEST(ControlMessageReadTest, DeviceInfoTakesEachKeyOnlyWithItsType) {
  struct Case {
    const char* payload;
    const char* described;
  };
  const Case cases[] = {
      {"{}", "unknown 0x0 160dpi 60.000000Hz ll0 hevc0 max1920x1080 touch1 folded0 rot0"},
      {"[1,2]",  // valid JSON but not an object: all defaults
       "unknown 0x0 160dpi 60.000000Hz ll0 hevc0 max1920x1080 touch1 folded0 rot0"},
      {R"({"model":"Pixel","widthPx":1080,"heightPx":2400,"densityDpi":420,"refreshHz":120,)"
       R"("h264LowLatency":true,"hevc":true,"maxDecodeWidth":3840,"maxDecodeHeight":2160,)"
       R"("touch":false,"folded":true,"rotation":90,"extra":{"ignored":1}})",
       "Pixel 1080x2400 420dpi 120.000000Hz ll1 hevc1 max3840x2160 touch0 folded1 rot90"},
      {R"({"widthPx":"1080","touch":0,"model":7,"refreshHz":"90","hevc":1})",
       "unknown 0x0 160dpi 60.000000Hz ll0 hevc0 max1920x1080 touch1 folded0 rot0"},
      {R"({"widthPx":1080.7,"heightPx":-2399.9,"densityDpi":3e10,"refreshHz":59.94})",
       "unknown 1080x-2399 -2147483648dpi 59.940000Hz ll0 hevc0 max1920x1080 touch1 folded0 rot0"},
      {R"({"model":"A","model":"B","rotation":null})",
       "B 0x0 160dpi 60.000000Hz ll0 hevc0 max1920x1080 touch1 folded0 rot0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Describe(ParseDeviceInfo(Parse(c.payload))), c.described) << c.payload;
  }
  // Default-constructed: the same defaults, but an empty model.
  EXPECT_EQ(Describe(DeviceInfo{}),
            " 0x0 160dpi 60.000000Hz ll0 hevc0 max1920x1080 touch1 folded0 rot0");
}

TEST(ControlMessageReadTest, ReadsTheSmallMessagesWithTheirDefaults) {
  const ReceiverHello noVersion = ParseHello(Parse(R"({"deviceId":"d1","appVersion":"2.0"})"));
  EXPECT_EQ(noVersion.protocolVersion, 1);
  EXPECT_EQ(noVersion.deviceId, "d1");
  EXPECT_EQ(noVersion.appVersion, "2.0");
  EXPECT_EQ(ParseHello(Parse(R"({"protocolVersion":2})")).protocolVersion, 2);
  EXPECT_EQ(ParseHello(Parse(R"({"protocolVersion":"1"})")).protocolVersion, 1);
  EXPECT_EQ(ParseHello(Parse(R"({"protocolVersion":1e10})")).protocolVersion, -2147483647 - 1);
  EXPECT_EQ(ParseHello(Parse("null")).deviceId, "");

  EXPECT_EQ(ParsePairToken(Parse(R"({"token":"abc"})")), "abc");
  EXPECT_EQ(ParsePairToken(Parse(R"({"token":5})")), "");
  EXPECT_EQ(ParsePairToken(Parse("{}")), "");

  struct VisibilityCase {
    const char* payload;
    bool visible;
    const char* reason;
    std::int64_t atUs;
  };
  const VisibilityCase visibility[] = {
      {"{}", false, "", 0},
      {R"({"visible":true,"reason":"foreground","atUs":123456789012})", true, "foreground",
       123456789012},
      {R"({"atUs":-5})", false, "", 0},
      {R"({"atUs":0.9})", false, "", 0},
      {R"({"atUs":1})", false, "", 1},
      {R"({"atUs":1e30,"visible":"true"})", false, "", 0},
  };
  for (const VisibilityCase& c : visibility) {
    const VisibilityChange change = ParseVisibility(Parse(c.payload));
    EXPECT_EQ(change.visible, c.visible) << c.payload;
    EXPECT_EQ(change.reason, c.reason) << c.payload;
    EXPECT_EQ(change.atUs, c.atUs) << c.payload;
  }

  const BitrateRequest bitrate = ParseBitrateRequest(Parse(R"({"bitrateBps":4e6,"fps":30})"));
  EXPECT_EQ(bitrate.bitrateBps, 4000000);
  EXPECT_EQ(bitrate.fps, 30);
  EXPECT_EQ(ParseBitrateRequest(Parse(R"({"bitrateBps":0})")).bitrateBps, 0);
  EXPECT_EQ(ParseBitrateRequest(Parse(R"({"bitrateBps":"4000000"})")).bitrateBps, 0);

  const DisplayChange display = ParseDisplayChange(Parse(R"({"widthPx":1768,"heightPx":2208})"));
  EXPECT_EQ(display.widthPx, 1768);
  EXPECT_EQ(display.heightPx, 2208);
  EXPECT_EQ(display.densityDpi, 160);
  EXPECT_EQ(display.refreshHz, 60.0);
  EXPECT_FALSE(display.folded);
  EXPECT_EQ(display.rotation, 0);
  const DisplayChange folded =
      ParseDisplayChange(Parse(R"({"folded":true,"rotation":270.5,"refreshHz":90})"));
  EXPECT_TRUE(folded.folded);
  EXPECT_EQ(folded.rotation, 270);
  EXPECT_EQ(folded.refreshHz, 90.0);

  const ErrorInfo noCode = ParseError(Parse(R"({"message":"user said no"})"));
  EXPECT_EQ(noCode.code, "INTERNAL");
  EXPECT_EQ(noCode.message, "user said no");
  const ErrorInfo denied = ParseError(Parse(R"({"code":"PERMISSION_DENIED","message":7})"));
  EXPECT_EQ(denied.code, "PERMISSION_DENIED");
  EXPECT_EQ(denied.message, "");
}

TEST(ControlMessageReadTest, WrittenMessagesReadBackThroughTheirOwnKeys) {
  const ErrorInfo sent{kErrorBadVersion, kTextUnsupportedVersion};
  const ErrorInfo back = ParseError(Parse(Serialize(BuildError(sent))));
  EXPECT_EQ(back.code, "BAD_VERSION");
  EXPECT_EQ(back.message, "unsupported protocol version");
}

// One frame of the largest size full of "0," would build ~335 MB of tree.
TEST(ControlPayloadTest, RefusesMoreValuesThanAnyMessageHolds) {
  const auto zeros = [](std::size_t count) {
    std::string text = "[0";
    for (std::size_t i = 1; i < count; ++i) {
      text += ",0";
    }
    return text + "]";
  };
  const auto parse = [](const std::string& text) {
    return ParseControlPayload(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  };
  // The array is a value of its own.
  const std::string fits = zeros(kControlMessageMaxJsonValues - 1);
  EXPECT_EQ(parse(fits).items().size(), kControlMessageMaxJsonValues - 1);
  try {
    parse(zeros(8 * 1024 * 1024 - 1));
    ADD_FAILURE() << "a 16 MiB array of zeros parsed";
  } catch (const ProtocolError& error) {
    EXPECT_STREQ(error.what(), "JSON holds too many values");
  }
  EXPECT_EQ(parse(R"({"model":"Pixel","widthPx":1080})").ReadInt32("widthPx", 0), 1080);
}

}  // namespace
}  // namespace veyra
