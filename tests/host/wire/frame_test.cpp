#include "host/wire/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/wire/binary_payloads.h"

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string DecodeFailure(const Bytes& bytes) {
  try {
    DecodeHeader(bytes.data(), bytes.size());
  } catch (const ProtocolError& error) {
    return error.what();
  }
  return "(decoded)";
}

// A valid header with an empty payload, to be spoiled by the cases below.
Bytes ValidHeader() {
  SequenceCounters counters;
  return EncodeFrame(counters, MessageType::kPing, Channel::kControl, 0, 0, 0, nullptr, 0);
}

TEST(FrameTest, EncodesEveryHeaderFieldBigEndian) {
  SequenceCounters counters;
  for (int i = 0; i < 5; ++i) {
    counters.Draw(Channel::kVideo);
  }
  const std::uint8_t payload[] = {0x00, 0x00, 0x00, 0x01, 0x65};
  const Bytes frame = EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo,
                                  FrameFlags::kAccessUnit | FrameFlags::kKeyframe,
                                  0x0102030405060708ull, 0x1122334455667788ull, payload, 5);
  const Bytes expected = {
      'V',  'Y',  'R',  'A',                           // magic
      0x00, 0x01,                                      // version
      0x00, 0x10,                                      // type VIDEO_FRAME
      0x01,                                            // channel
      0x05,                                            // flags
      0x00, 0x00,                                      // reserved
      0x00, 0x00, 0x00, 0x05,                          // sequence
      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // frameId
      0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // timestampUs
      0x00, 0x00, 0x00, 0x05,                          // payloadLength
      0x00, 0x00, 0x00, 0x01, 0x65,                    // payload
  };
  EXPECT_EQ(frame, expected);

  const FrameHeader header = DecodeHeader(frame.data(), frame.size());
  EXPECT_EQ(header.type, 16);
  EXPECT_EQ(header.channel, 1);
  EXPECT_EQ(header.flags, 0x05);
  EXPECT_EQ(header.sequence, 5u);
  EXPECT_EQ(header.frameId, 0x0102030405060708ull);
  EXPECT_EQ(header.timestampUs, 0x1122334455667788ull);
  EXPECT_EQ(header.payloadLength, 5u);
}

TEST(FrameTest, EncodesTextPayloadAndEmptyPayload) {
  SequenceCounters counters;
  const Bytes text = EncodeFrame(counters, MessageType::kError, Channel::kControl, 0, 0, 7,
                                 std::string_view("{}"));
  ASSERT_EQ(text.size(), kFrameHeaderBytes + 2);
  EXPECT_EQ(text[6], 0x00);
  EXPECT_EQ(text[7], 0xFF);
  EXPECT_EQ(text[35], 2);
  EXPECT_EQ(text[36], '{');
  EXPECT_EQ(text[37], '}');

  const Bytes empty = EncodeFrame(counters, MessageType::kStreamStart, Channel::kControl, 0, 0, 0,
                                  std::string_view());
  ASSERT_EQ(empty.size(), kFrameHeaderBytes);
  const FrameHeader header = DecodeHeader(empty.data(), empty.size());
  EXPECT_EQ(header.payloadLength, 0u);
  EXPECT_EQ(header.sequence, 1u);
}

TEST(FrameTest, RefusesMalformedHeaders) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> spoil;
    const char* error;
  };
  const auto write = [](std::size_t offset, const Bytes& values) {
    return
        [offset, values](Bytes& b) { std::copy(values.begin(), values.end(), b.begin() + offset); };
  };
  const std::vector<Case> cases = {
      {"empty", [](Bytes& b) { b.clear(); }, "short header"},
      {"35 bytes", [](Bytes& b) { b.resize(35); }, "short header"},
      {"lower-case magic", write(0, {'v', 'y', 'r', 'a'}), "bad magic"},
      {"last magic byte off", write(3, {'B'}), "bad magic"},
      {"version 2", write(4, {0x00, 0x02}), "bad version"},
      {"version 1 little-endian", write(4, {0x01, 0x00}), "bad version"},
      {"version 0", write(4, {0x00, 0x00}), "bad version"},
      {"length 16 MiB + 1", write(32, {0x01, 0x00, 0x00, 0x01}), "payload too large"},
      {"length 0xFFFFFFFF", write(32, {0xFF, 0xFF, 0xFF, 0xFF}), "payload too large"},
      // Checked in this order: length of the buffer, magic, version, payload length.
      {"short with bad magic",
       [](Bytes& b) {
         b[0] = 'X';
         b.resize(20);
       },
       "short header"},
      {"bad magic and version", write(0, {'X', 'Y', 'R', 'A', 0x00, 0x02}), "bad magic"},
      {"bad version and length",
       [](Bytes& b) {
         b[5] = 9;
         b[32] = 0xFF;
       },
       "bad version"},
  };
  for (const Case& c : cases) {
    Bytes bytes = ValidHeader();
    c.spoil(bytes);
    EXPECT_EQ(DecodeFailure(bytes), c.error) << c.what;
  }
  EXPECT_THROW(DecodeHeader(nullptr, 0), ProtocolError);
}

TEST(FrameTest, AcceptsWhatTheReceiverMayVary) {
  Bytes bytes = ValidHeader();
  bytes[10] = 0xAB;  // reserved bytes are never checked
  bytes[11] = 0xCD;
  bytes[6] = 0x12;  // nor the type
  bytes[7] = 0x34;
  bytes[8] = 0x07;                        // nor the channel
  bytes[9] = 0xFF;                        // nor the flags
  bytes[32] = 0x01;                       // exactly 16 MiB is allowed
  bytes.resize(kFrameHeaderBytes + 100);  // bytes beyond the header are not read
  const FrameHeader header = DecodeHeader(bytes.data(), bytes.size());
  EXPECT_EQ(header.type, 0x1234);
  EXPECT_EQ(header.channel, 7);
  EXPECT_EQ(header.flags, 0xFF);
  EXPECT_EQ(header.payloadLength, kMaxPayloadBytes);
}

TEST(FrameTest, OversizePayloadIsRefusedWithoutUsingASequenceNumber) {
  SequenceCounters counters;
  EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, 0, 0, 0, std::string_view());
  // The length is checked before anything is read or allocated, so the
  // payload pointer is not touched.
  const std::uint8_t byte = 0;
  EXPECT_THROW(EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo,
                           FrameFlags::kAccessUnit, 1, 2, &byte, kMaxPayloadBytes + 1ull),
               ProtocolError);
  try {
    EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, 0, 0, 0, &byte,
                kMaxPayloadBytes + 1ull);
  } catch (const ProtocolError& error) {
    EXPECT_STREQ(error.what(), "payload too large");
  }
  const Bytes next =
      EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, 0, 0, 0, std::string_view());
  EXPECT_EQ(DecodeHeader(next.data(), next.size()).sequence, 1u);

  // Exactly 16 MiB is sent.
  const Bytes largest(kMaxPayloadBytes, 0x5A);
  const Bytes frame = EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, 0, 0, 0,
                                  largest.data(), largest.size());
  EXPECT_EQ(frame.size(), kFrameHeaderBytes + kMaxPayloadBytes);
  EXPECT_EQ(DecodeHeader(frame.data(), frame.size()).sequence, 2u);
  EXPECT_EQ(frame.back(), 0x5A);
}

TEST(SequenceCountersTest, ChannelsCountIndependentlyAndOthersShareChannelZero) {
  SequenceCounters counters;
  struct Step {
    std::uint8_t channel;
    std::uint32_t expected;
  };
  const Step steps[] = {
      {0, 0}, {1, 0}, {0, 1}, {1, 1}, {1, 2}, {2, 0}, {7, 2}, {0, 3}, {255, 4}, {2, 1}, {1, 3},
  };
  for (const Step& step : steps) {
    const Bytes frame = EncodeFrame(counters, MessageType::kStreamKeepalive, step.channel, 0, 0, 0,
                                    std::string_view());
    EXPECT_EQ(DecodeHeader(frame.data(), frame.size()).sequence, step.expected)
        << "channel " << int{step.channel};
    EXPECT_EQ(frame[8], step.channel);
  }
  EXPECT_EQ(counters.Peek(0), 5u);
  EXPECT_EQ(counters.Peek(9), 5u);
  EXPECT_EQ(counters.Peek(1), 4u);
}

TEST(SequenceCountersTest, ConcurrentDrawsHandOutEveryNumberOnce) {
  SequenceCounters counters;
  constexpr int kThreads = 4;
  constexpr int kDraws = 5000;
  std::vector<std::vector<std::uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&counters, &drawn, t] {
      for (int i = 0; i < kDraws; ++i) {
        drawn[t].push_back(counters.Draw(Channel::kVideo));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  std::vector<bool> seen(std::size_t{kThreads} * kDraws, false);
  for (const auto& numbers : drawn) {
    for (const std::uint32_t n : numbers) {
      ASSERT_LT(n, seen.size());
      EXPECT_FALSE(seen[n]) << n;
      seen[n] = true;
    }
  }
  EXPECT_EQ(counters.Peek(Channel::kVideo), static_cast<std::uint32_t>(kThreads * kDraws));
  EXPECT_EQ(counters.Peek(Channel::kControl), 0u);
}

TEST(MessageTypeTest, NamesExactlyTheTwentyOneCodes) {
  const std::pair<int, const char*> named[] = {
      {1, "HELLO"},
      {2, "HELLO_ACK"},
      {3, "DEVICE_INFO"},
      {4, "VIDEO_CONFIG"},
      {5, "VIDEO_CONFIG_DATA"},
      {6, "STREAM_START"},
      {7, "STREAM_STOP"},
      {8, "STREAM_KEEPALIVE"},
      {9, "HOST_STATS"},
      {10, "PAIR_ACCEPTED"},
      {16, "VIDEO_FRAME"},
      {17, "FRAME_ACK"},
      {32, "TOUCH"},
      {33, "SCROLL"},
      {34, "KEY"},
      {48, "PING"},
      {49, "PONG"},
      {64, "SET_BITRATE"},
      {65, "DISPLAY_CHANGED"},
      {66, "REQUEST_IDR"},
      {255, "ERROR"},
  };
  int namedCount = 0;
  for (int code = 0; code <= 0xFFFF; ++code) {
    const std::string name = MessageName(static_cast<std::uint16_t>(code));
    const char* expected = "UNKNOWN";
    for (const auto& [c, n] : named) {
      if (c == code) {
        expected = n;
      }
    }
    if (name != "UNKNOWN") {
      ++namedCount;
    }
    EXPECT_EQ(name, expected) << code;
  }
  EXPECT_EQ(namedCount, 21);
  EXPECT_STREQ(MessageName(MessageType::kVisibility), "UNKNOWN");
  EXPECT_STREQ(MessageName(MessageType::kError), "ERROR");
  EXPECT_STREQ(MessageName(0x0100), "UNKNOWN");
}

}  // namespace
}  // namespace veyra
