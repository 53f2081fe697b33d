#include "host/net/frame_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veyra {
namespace {

std::vector<std::uint8_t> Frame(SequenceCounters& counters, std::size_t payloadBytes,
                                std::uint8_t fill = 0x42) {
  const std::vector<std::uint8_t> payload(payloadBytes, fill);
  return EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, FrameFlags::kAccessUnit,
                     7, 99, payload.data(), payload.size());
}

TEST(FrameDecoderTest, ReturnsNothingUntilTheLastByteArrives) {
  SequenceCounters counters;
  const std::vector<std::uint8_t> frame = Frame(counters, 10);
  FrameDecoder decoder;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    decoder.Append(&frame[i], 1);
    ASSERT_FALSE(decoder.Next().has_value()) << "after byte " << i;
  }
  decoder.Append(&frame.back(), 1);
  const std::optional<Packet> packet = decoder.Next();
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->header.frameId, 7u);
  EXPECT_EQ(packet->header.timestampUs, 99u);
  EXPECT_EQ(packet->payload, std::vector<std::uint8_t>(10, 0x42));
  EXPECT_FALSE(decoder.Next().has_value());
  EXPECT_EQ(decoder.Buffered(), 0u);
}

TEST(FrameDecoderTest, CutsSeveralFramesFromOneChunkInOrder) {
  SequenceCounters counters;
  std::vector<std::uint8_t> stream;
  for (std::size_t size : {0u, 5u, 1000u}) {
    const auto frame = Frame(counters, size);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  // And half of a fourth.
  const auto fourth = Frame(counters, 20);
  stream.insert(stream.end(), fourth.begin(), fourth.begin() + 30);
  FrameDecoder decoder;
  decoder.Append(stream.data(), stream.size());
  std::vector<std::uint32_t> sequences;
  while (auto packet = decoder.Next()) {
    sequences.push_back(packet->header.sequence);
  }
  EXPECT_EQ(sequences, (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(decoder.Buffered(), 30u);
  decoder.Append(fourth.data() + 30, fourth.size() - 30);
  const auto last = decoder.Next();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->header.sequence, 3u);
  EXPECT_EQ(last->payload.size(), 20u);
}

TEST(FrameDecoderTest, LargestPayloadGrowsBufferByDoublingAndLaterFramesReuseIt) {
  SequenceCounters counters;
  const std::vector<std::uint8_t> big = Frame(counters, kMaxPayloadBytes, 0x17);
  FrameDecoder decoder;
  std::vector<std::size_t> capacities;
  // In the pieces a socket read gives: 64 KiB at a time.
  for (std::size_t offset = 0; offset < big.size(); offset += 65536) {
    const std::size_t piece = std::min<std::size_t>(65536, big.size() - offset);
    decoder.Append(big.data() + offset, piece);
    if (capacities.empty() || capacities.back() != decoder.Capacity()) {
      capacities.push_back(decoder.Capacity());
    }
  }
  // 64 KiB, 128 KiB, ... up to the first power of two holding 16 MiB + 36.
  ASSERT_FALSE(capacities.empty());
  EXPECT_EQ(capacities.front(), FrameDecoder::kInitialCapacity);
  for (std::size_t i = 1; i < capacities.size(); ++i) {
    EXPECT_EQ(capacities[i], capacities[i - 1] * 2);
  }
  EXPECT_EQ(capacities.back(), std::size_t{32} * 1024 * 1024);

  const auto packet = decoder.Next();
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->payload.size(), kMaxPayloadBytes);
  EXPECT_EQ(packet->payload.front(), 0x17);
  EXPECT_EQ(packet->payload.back(), 0x17);

  for (int i = 0; i < 3; ++i) {
    const auto next = Frame(counters, 300000);
    decoder.Append(next.data(), next.size());
    ASSERT_TRUE(decoder.Next().has_value());
    EXPECT_EQ(decoder.Capacity(), capacities.back());
  }
}

TEST(FrameDecoderTest, MovesUnconsumedBytesForwardBeforeGrowing) {
  SequenceCounters counters;
  const auto first = Frame(counters, 40000);
  const auto second = Frame(counters, 40000);
  FrameDecoder decoder;
  decoder.Append(first.data(), first.size());
  decoder.Append(second.data(), 100);  // a partial frame stays behind
  ASSERT_TRUE(decoder.Next().has_value());
  // The rest of the second frame fits once its start moves to the front.
  decoder.Append(second.data() + 100, second.size() - 100);
  EXPECT_EQ(decoder.Capacity(), FrameDecoder::kInitialCapacity);
  const auto packet = decoder.Next();
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->header.sequence, 1u);
}

TEST(FrameDecoderTest, MalformedHeadersRaiseTheHeaderDecodersError) {
  SequenceCounters counters;
  struct Case {
    std::size_t offset;
    std::uint8_t value;
    const char* message;
  };
  for (const Case& c : {Case{0, 'v', "bad magic"}, Case{5, 2, "bad version"},
                        Case{32, 0x01, "payload too large"}}) {
    std::vector<std::uint8_t> frame = Frame(counters, 4);
    frame[c.offset] = c.value;
    FrameDecoder decoder;
    decoder.Append(frame.data(), frame.size());
    try {
      decoder.Next();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const ProtocolError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace veyra
