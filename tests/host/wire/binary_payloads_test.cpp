#include "host/wire/binary_payloads.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/wire/protocol_error.h"

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Decoder>
std::string DecodeFailure(Decoder decode, const Bytes& bytes) {
  try {
    decode(bytes.data(), bytes.size());
  } catch (const ProtocolError& error) {
    return error.what();
  }
  return "(decoded)";
}

TEST(BinaryPayloadTest, RefusesPayloadsBelowTheirMinimum) {
  struct Case {
    const char* what;
    std::size_t minimum;
    std::string (*failure)(const Bytes&);
    const char* error;
  };
  const Case cases[] = {
      {"TOUCH", 28, [](const Bytes& b) { return DecodeFailure(DecodeTouch, b); }, "short TOUCH"},
      {"SCROLL", 24, [](const Bytes& b) { return DecodeFailure(DecodeScroll, b); }, "short SCROLL"},
      {"KEY", 16, [](const Bytes& b) { return DecodeFailure(DecodeKey, b); }, "short KEY"},
      {"FRAME_ACK", 36, [](const Bytes& b) { return DecodeFailure(DecodeFrameAck, b); },
       "short FRAME_ACK"},
      // PONG shares PING's decoder and its message.
      {"PING/PONG", 24, [](const Bytes& b) { return DecodeFailure(DecodePing, b); }, "short PING"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.failure(Bytes()), c.error) << c.what;
    EXPECT_EQ(c.failure(Bytes(c.minimum - 1, 0xFF)), c.error) << c.what;
    EXPECT_EQ(c.failure(Bytes(c.minimum, 0xFF)), "(decoded)") << c.what;
    EXPECT_EQ(c.failure(Bytes(c.minimum + 12, 0xFF)), "(decoded)") << c.what;
  }
}

TEST(BinaryPayloadTest, DecodesTouchFromItsFirst28Bytes) {
  Bytes bytes = {
      0x02,                                            // action up
      0x07,                                            // pointer id
      0x00, 0x02,                                      // pointer count
      0x3F, 0x80, 0x00, 0x00,                          // x = 1.0
      0x3F, 0x00, 0x00, 0x00,                          // y = 0.5
      0x3E, 0x80, 0x00, 0x00,                          // pressure 0.25
      0x00, 0x00, 0x00, 0x02,                          // buttons: secondary
      0x00, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x42, 0x40,  // event time 1e6
  };
  bytes.resize(40, 0xEE);  // extra bytes are ignored
  const TouchEvent touch = DecodeTouch(bytes.data(), bytes.size());
  EXPECT_EQ(touch.action, 2);
  EXPECT_EQ(touch.pointerId, 7);
  EXPECT_EQ(touch.pointerCount, 2);
  EXPECT_EQ(touch.x, 1.0f);
  EXPECT_EQ(touch.y, 0.5f);
  EXPECT_EQ(touch.pressureBits, 0x3E800000u);
  EXPECT_EQ(touch.buttons, 2u);
  EXPECT_EQ(touch.eventTimeUs, 1000000u);
}

TEST(BinaryPayloadTest, DecodesScrollKeyAndFrameAck) {
  const Bytes scroll = {
      0xBF, 0x80, 0x00, 0x00,  // dx = -1
      0x3D, 0xCC, 0xCC, 0xCD,  // dy = 0.1f
      0x00, 0x00, 0x00, 0x00,  // x = 0
      0x7F, 0x80, 0x00, 0x00,  // y = +inf, kept as sent
      1,    2,    3,    4,    5, 6, 7, 8,
  };
  const ScrollEvent s = DecodeScroll(scroll.data(), scroll.size());
  EXPECT_EQ(s.dx, -1.0f);
  EXPECT_EQ(s.dy, 0.1f);
  EXPECT_EQ(s.x, 0.0f);
  EXPECT_TRUE(std::isinf(s.y));

  const Bytes key = {0x00, 0x00, 0x00, 0x04, 0x01, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  const KeyEvent k = DecodeKey(key.data(), key.size());
  EXPECT_EQ(k.usage, 4u);
  EXPECT_EQ(k.action, kKeyActionUp);

  Bytes ack;
  for (std::uint8_t field = 1; field <= 4; ++field) {
    const Bytes value = {0x80, 0, 0, 0, 0, 0, 0, field};
    ack.insert(ack.end(), value.begin(), value.end());
  }
  ack.insert(ack.end(), {0x11, 0x22, 0xFF, 0xFF});
  const FrameAck a = DecodeFrameAck(ack.data(), ack.size());
  EXPECT_EQ(a.frameId, 0x8000000000000001ull);
  EXPECT_EQ(a.receivedUs, 0x8000000000000002ull);
  EXPECT_EQ(a.decodedUs, 0x8000000000000003ull);
  EXPECT_EQ(a.presentedUs, 0x8000000000000004ull);
  EXPECT_EQ(a.byte32, 0x11);
  EXPECT_EQ(a.byte33, 0x22);
}

TEST(BinaryPayloadTest, PingEncodesTwentyFourBytesAndDecodesBack) {
  const PingPayload ping{0x0102030405060708ull, 0xA0B0C0D0E0F00010ull, 0};
  const auto bytes = EncodePing(ping);
  const Bytes expected = {1,    2,    3,    4,    5,    6,    7,    8,    0xA0, 0xB0, 0xC0, 0xD0,
                          0xE0, 0xF0, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);
  const PingPayload back = DecodePing(bytes.data(), bytes.size());
  EXPECT_EQ(back.pingId, ping.pingId);
  EXPECT_EQ(back.originUs, ping.originUs);
  EXPECT_EQ(back.replyUs, 0u);
}

}  // namespace
}  // namespace veyra
