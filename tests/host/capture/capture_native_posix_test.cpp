// The native back end of capture: in-memory textures, the synthetic source
// driven by a stepped clock.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/synthetic_source.h"
#include "host/capture/texture_storage_posix.h"

namespace veyra {
namespace {

// Time moves only when the test or a sleep moves it; sleeps are recorded.
class SteppedClock final : public PacingClock {
 public:
  std::uint64_t NowUs() override { return nowUs; }
  void SleepUs(std::uint64_t us) override {
    sleeps.push_back(us);
    nowUs += us;
  }
  std::uint64_t nowUs = 1000000;
  std::vector<std::uint64_t> sleeps;
};

std::uint32_t PixelAt(const Texture& texture, std::uint32_t x, std::uint32_t y) {
  const TextureStorage& storage = StorageOf(texture);
  const std::uint8_t* p = storage.bytes.data() + static_cast<std::size_t>(y) * storage.pitch +
                          static_cast<std::size_t>(x) * 4;
  return static_cast<std::uint32_t>(p[0]) | (p[1] << 8) | (p[2] << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

class SyntheticSourceTest : public testing::Test {
 protected:
  SyntheticSourceTest() { EXPECT_EQ(graphics_.Init(0), status::kSOk); }

  std::string log_;
  RecordingLogSink sink_{&log_};
  GraphicsContext graphics_;
  SteppedClock clock_;
  CapturedFrame frame_;
};

TEST_F(SyntheticSourceTest, PacesFramesOneIntervalApart) {
  SyntheticSource source(graphics_, 320, 200, 60, &clock_);
  EXPECT_EQ(source.AcquireFrame(&frame_, 100), status::kInvalidStateHresult);
  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_NE(sink_.Text().find("synthetic source 320x200 @60"), std::string::npos);

  std::vector<std::uint64_t> times;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
    times.push_back(frame_.captureTimeUs);
  }
  EXPECT_EQ(times[1] - times[0], 16666u);
  EXPECT_EQ(times[3] - times[2], 16666u);
  EXPECT_EQ(clock_.sleeps, (std::vector<std::uint64_t>{16666, 16666, 16666}));
  EXPECT_EQ(frame_.width, 320u);
  EXPECT_EQ(frame_.height, 200u);
}

TEST_F(SyntheticSourceTest, ZeroTimeoutBetweenDeadlinesReturnsOneWithoutSleeping) {
  SyntheticSource source(graphics_, 320, 200, 60, &clock_);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(source.AcquireFrame(&frame_, 0), status::kSOk);  // due at once
  clock_.nowUs += 5000;
  EXPECT_EQ(source.AcquireFrame(&frame_, 0), status::kSFalse);
  EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kSFalse);  // 11.6 ms still to go
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(SyntheticSourceTest, LatePollRestartsPacingInsteadOfBursting) {
  SyntheticSource source(graphics_, 320, 200, 60, &clock_);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  clock_.nowUs += 100000;  // six intervals late
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  EXPECT_EQ(source.AcquireFrame(&frame_, 0), status::kSFalse);  // no catch-up frame
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  EXPECT_EQ(clock_.sleeps, (std::vector<std::uint64_t>{16666}));
}

TEST_F(SyntheticSourceTest, WhiteBandsAccumulateAt37PixelSteps) {
  SyntheticSource source(graphics_, 320, 8, 1000, &clock_);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  EXPECT_EQ(PixelAt(frame_.texture, 0, 7), 0xFFFFFFFFu);
  EXPECT_EQ(PixelAt(frame_.texture, 95, 0), 0xFFFFFFFFu);
  EXPECT_EQ(PixelAt(frame_.texture, 96, 0), 0u);
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  EXPECT_EQ(PixelAt(frame_.texture, 132, 3), 0xFFFFFFFFu);
  EXPECT_EQ(PixelAt(frame_.texture, 133, 3), 0u);
  EXPECT_EQ(PixelAt(frame_.texture, 0, 3), 0xFFFFFFFFu);  // never cleared
}

TEST_F(SyntheticSourceTest, PictureNarrowerThanTheBandIsFilledAndStaysInBounds) {
  SyntheticSource source(graphics_, 40, 4, 1000, &clock_);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  EXPECT_EQ(PixelAt(frame_.texture, 39, 3), 0xFFFFFFFFu);
}

TEST_F(SyntheticSourceTest, LastFrameCopyIsIndependentAndReusedForTheSameSize) {
  SyntheticSource source(graphics_, 320, 8, 1000, &clock_);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  Texture last;
  graphics_.KeepLastFrame(frame_.texture, &last);
  ASSERT_TRUE(last);
  EXPECT_NE(last.Identity(), frame_.texture.Identity());
  const void* kept = last.Identity();
  ASSERT_EQ(source.AcquireFrame(&frame_, 100), status::kSOk);
  EXPECT_EQ(PixelAt(last, 100, 0), 0u);  // the copy did not follow the source
  graphics_.KeepLastFrame(frame_.texture, &last);
  EXPECT_EQ(last.Identity(), kept);
  EXPECT_EQ(PixelAt(last, 100, 0), 0xFFFFFFFFu);

  Texture other;
  ASSERT_EQ(graphics_.CreateTexture(64, 64, PixelFormat::kBgra, &other), status::kSOk);
  graphics_.KeepLastFrame(other, &last);
  EXPECT_EQ(last.width, 64u);
  EXPECT_EQ(last.height, 64u);
}

}  // namespace
}  // namespace veyra
