#include "host/net/send_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "host/wire/frame.h"

namespace veyra {
namespace {

// |prefix|, |number| in decimal, |suffix|. Built by appending: GCC 12 at -O3
// warns falsely (-Wrestrict) about "literal" + std::string.
inline std::string Cat(std::string_view prefix, std::uint64_t number,
                       std::string_view suffix = {}) {
  std::string text(prefix);
  text += std::to_string(number);
  text += suffix;
  return text;
}

// Frames named by a letter and a number: "V3" is a VIDEO_FRAME with frame id
// 3, "C3" a PONG with timestamp 3 (control).
std::vector<std::uint8_t> Frame(const std::string& name) {
  SequenceCounters counters;
  const std::uint64_t number = std::stoull(name.substr(1));
  const std::uint8_t payload[4] = {1, 2, 3, 4};
  if (name[0] == 'V') {
    return EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, FrameFlags::kAccessUnit,
                       number, 0, payload, sizeof(payload));
  }
  return EncodeFrame(counters, MessageType::kPong, Channel::kControl, FrameFlags::kNone, 0, number,
                     payload, sizeof(payload));
}

std::string NameOf(const std::vector<std::uint8_t>& frame) {
  const FrameHeader header = DecodeHeader(frame.data(), frame.size());
  if (header.type == static_cast<std::uint16_t>(MessageType::kVideoFrame)) {
    return Cat("V", header.frameId);
  }
  return Cat("C", header.timestampUs);
}

void PushAll(SendQueue& queue, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    queue.Push(Frame(name), name[0] == 'V');
  }
}

std::vector<std::string> Drain(SendQueue& queue) {
  std::vector<std::string> names;
  while (!queue.Empty()) {
    names.push_back(NameOf(queue.PopFront()));
  }
  return names;
}

std::vector<std::string> Numbered(char kind, int first, int last) {
  std::vector<std::string> names;
  for (int i = first; i <= last; ++i) {
    names.push_back(Cat(std::string(1, kind), static_cast<std::uint64_t>(i)));
  }
  return names;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct QueueCase {
  const char* name;
  std::vector<std::string> pushed;
  std::vector<std::string> sent;
};

class SendQueueOrderTest : public ::testing::TestWithParam<QueueCase> {};

TEST_P(SendQueueOrderTest, SendsInExpectedOrder) {
  SendQueue queue;
  PushAll(queue, GetParam().pushed);
  EXPECT_LE(queue.Size(), SendQueue::kCapacity);
  EXPECT_EQ(Drain(queue), GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SendQueueOrderTest,
    ::testing::Values(
        QueueCase{"VideoKeepsArrivalOrder", {"V1", "V2", "V3"}, {"V1", "V2", "V3"}},
        QueueCase{"ControlOvertakesVideo", {"V1", "V2", "C1"}, {"C1", "V1", "V2"}},
        // VIDEO_CONFIG must reach the receiver before STREAM_START even when
        // both wait behind video.
        QueueCase{"ControlFramesKeepTheirOrder",
                  {"V1", "C1", "V2", "C2", "C3"},
                  {"C1", "C2", "C3", "V1", "V2"}},
        QueueCase{"ControlOnlyKeepsOrder", {"C1", "C2", "C3"}, {"C1", "C2", "C3"}},
        // A fourth video frame is refused rather than one dropped from the
        // middle of the stream, where later frames refer to it.
        QueueCase{"VideoBeyondItsBoundIsRefused", Numbered('V', 1, 6), Numbered('V', 1, 3)},
        QueueCase{"ControlPassesAFullVideoQueue", Concat(Numbered('V', 1, 5), {"C1"}),
                  Concat({"C1"}, Numbered('V', 1, 3))},
        // No video queued: the head goes.
        QueueCase{"FullControlQueueDropsHead", Numbered('C', 1, 25), Numbered('C', 2, 25)}),
    [](const ::testing::TestParamInfo<QueueCase>& param) { return std::string(param.param.name); });

TEST(SendQueueTest, ReportsRefusalsDropsAndVideoBytes) {
  SendQueue queue;
  for (std::size_t i = 0; i < SendQueue::kVideoCapacity; ++i) {
    EXPECT_EQ(queue.Push(Frame(Cat("V", i)), true), SendQueue::PushResult::kQueued);
  }
  const std::size_t videoBytes = queue.VideoBytes();
  EXPECT_EQ(videoBytes, SendQueue::kVideoCapacity * Frame("V1").size());
  EXPECT_EQ(queue.Push(Frame("V9"), true), SendQueue::PushResult::kRefused);
  EXPECT_EQ(queue.VideoBytes(), videoBytes);
  while (queue.Size() < SendQueue::kCapacity) {
    EXPECT_EQ(queue.Push(Frame("C1"), false), SendQueue::PushResult::kQueued);
  }
  EXPECT_EQ(queue.Push(Frame("C2"), false), SendQueue::PushResult::kDroppedHead);
  EXPECT_EQ(queue.Size(), SendQueue::kCapacity);
  EXPECT_EQ(queue.VideoBytes(), videoBytes);
  queue.Clear();
  EXPECT_EQ(queue.VideoBytes(), 0U);
}

TEST(SendQueueTest, RecognisesVideoFramesByHeaderType) {
  EXPECT_TRUE(IsVideoFrame(Frame("V1")));
  EXPECT_FALSE(IsVideoFrame(Frame("C1")));
  // A VIDEO_FRAME header without payload is not taken for video.
  SequenceCounters counters;
  EXPECT_FALSE(IsVideoFrame(EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo,
                                        FrameFlags::kAccessUnit, 1, 0, nullptr, 0)));
  EXPECT_FALSE(IsVideoFrame({}));
}

}  // namespace
}  // namespace veyra
