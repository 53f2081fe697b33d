#include "host/session/stream_size.h"

#include <gtest/gtest.h>

namespace veyra {
namespace {

DeviceInfo Receiver(std::int32_t width, std::int32_t height, std::int32_t maxWidth = 1920,
                    std::int32_t maxHeight = 1080) {
  DeviceInfo info;
  info.widthPx = width;
  info.heightPx = height;
  info.maxDecodeWidth = maxWidth;
  info.maxDecodeHeight = maxHeight;
  return info;
}

struct SizeCase {
  std::uint32_t sourceWidth;
  std::uint32_t sourceHeight;
  DeviceInfo receiver;
  StreamSize expected;
};

TEST(StreamSizeTest, FitsScreenAndDecoderKeepingTheSourceShape) {
  const SizeCase cases[] = {
      {2560, 1440, Receiver(1768, 2208), {1920, 1080}},
      {1920, 1080, Receiver(0, 0), {1920, 1080}},
      {3840, 2160, Receiver(2208, 1768, 3840, 2160), {2208, 1242}},
      {2208, 1768, Receiver(2208, 1768), {1348, 1080}},
      {1080, 1920, Receiver(2208, 1768), {606, 1080}},
      {1280, 720, Receiver(2208, 1768), {1280, 720}},  // never scaled up
      {1921, 1081, Receiver(0, 0), {1918, 1080}},
      {1920, 1200, Receiver(2208, 1768), {1728, 1080}},  // the synthetic source
      // A decoder limit below 640 x 480 counts as 640 x 480.
      {1920, 1080, Receiver(0, 0, 320, 200), {640, 360}},
      // A screen size of one dimension only means no screen size.
      {2560, 1440, Receiver(0, 1768), {1920, 1080}},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(ChooseStreamSize(c.sourceWidth, c.sourceHeight, c.receiver, 0, 0), c.expected)
        << c.sourceWidth << "x" << c.sourceHeight << " for " << c.receiver.widthPx << "x"
        << c.receiver.heightPx;
  }
}

TEST(StreamSizeTest, ForcedSizeWinsAndOnlyLosesItsLowestBits) {
  EXPECT_EQ(ChooseStreamSize(3840, 2160, Receiver(2208, 1768), 1281, 721), (StreamSize{1280, 720}));
  // A forced width alone forces nothing.
  EXPECT_EQ(ChooseStreamSize(1920, 1080, Receiver(0, 0), 1281, 0), (StreamSize{1920, 1080}));
}

TEST(StreamSizeTest, DegenerateSourcesStayEvenAndAtLeastTwoPixels) {
  // So thin that scaling takes a side to 0: never 0, never odd.
  EXPECT_EQ(ChooseStreamSize(1, 10000, Receiver(0, 0), 0, 0), (StreamSize{2, 1080}));
  EXPECT_EQ(ChooseStreamSize(3, 3, Receiver(0, 0), 0, 0), (StreamSize{2, 2}));
  // A negative screen size compares as a huge unsigned one: no shrinking.
  EXPECT_EQ(ChooseStreamSize(1280, 720, Receiver(-1, -1), 0, 0), (StreamSize{1280, 720}));
}

}  // namespace
}  // namespace veyra
