#include "host/video/color_converter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/video/fake_conversion_engine.h"

namespace veyra {
namespace {

class ColorConverterTest : public testing::Test {
 protected:
  ColorConverterTest()
      : converter_(std::make_unique<FakeConversionEngine>(&record_)),
        savedThreshold_(LogThreshold()) {
    SetLogThreshold(LogLevel::Debug);
  }
  ~ColorConverterTest() override { SetLogThreshold(savedThreshold_); }

  // What the encoder does with a slot it took: key 1 in, key 0 out.
  void EncoderTakes(std::size_t slot) {
    ASSERT_EQ(record_.locks[slot]->AcquireSync(1, 0), status::kSOk);
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  FakeConversionRecord record_;
  GraphicsContext graphics_;
  ColorConverter converter_;
  Texture input_;
  Texture output_;
  std::size_t slot_ = 99;

 private:
  LogLevel savedThreshold_;
};

TEST_F(ColorConverterTest, InitMakesTheOutputEvenAndBuildsEightSlotsAtKeyZero) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1921, 1081), status::kSOk);
  EXPECT_EQ(converter_.OutputWidth(), 1920u);
  EXPECT_EQ(converter_.OutputHeight(), 1080u);
  ASSERT_EQ(converter_.SharedHandles().size(), kNv12PoolSlots);
  for (const auto& lock : record_.locks) EXPECT_EQ(lock->AcquireSync(0, 0), status::kSOk);
  EXPECT_NE(sink_.Text().find("color converter 1920x1200 BGRA -> 1920x1080 NV12"),
            std::string::npos);
}

TEST_F(ColorConverterTest, ConvertHandsTheSlotToTheEncoderAndAdvances) {
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kSOk);
  for (std::size_t i = 0; i < kNv12PoolSlots + 1; ++i) {
    ASSERT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
    EXPECT_EQ(slot_, i % kNv12PoolSlots);
    EncoderTakes(slot_);
    record_.locks[slot_]->ReleaseSync(0);
  }
  EXPECT_EQ(record_.flushes, static_cast<int>(kNv12PoolSlots) + 1);
}

TEST_F(ColorConverterTest, SlotsHeldByTheEncoderDropFramesAndTheIndexStillAdvances) {
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kSOk);
  for (std::size_t i = 0; i < kNv12PoolSlots; ++i) {
    ASSERT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
    EncoderTakes(slot_);  // and keeps it
  }
  for (std::size_t i = 0; i < kNv12PoolSlots; ++i) {
    EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kEPending);
    EXPECT_EQ(slot_, i);
  }
  EXPECT_EQ(record_.blts, static_cast<int>(kNv12PoolSlots));
  EXPECT_NE(sink_.Text().find("NV12 slot 7 still held by the encoder; dropping frame"),
            std::string::npos);

  // One slot given back: the next call lands on the following slot and is
  // dropped, the one after that converts into the freed slot after a lap.
  record_.locks[1]->ReleaseSync(0);
  EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kEPending);
  EXPECT_EQ(slot_, 0u);
  EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
  EXPECT_EQ(slot_, 1u);
}

TEST_F(ColorConverterTest, FailedBltGivesTheSlotBackToTheConverter) {
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kSOk);
  record_.bltResult = status::kEFail;
  EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kEFail);
  EXPECT_NE(sink_.Text().find("VideoProcessorBlt failed: 0x80004005"), std::string::npos);
  EXPECT_EQ(record_.locks[0]->AcquireSync(0, 0), status::kSOk);
}

TEST_F(ColorConverterTest, RefusesBeforeInitAndUnreadableInput) {
  EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kInvalidStateHresult);
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kSOk);
  record_.inputReadable = false;
  EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kEFail);
  record_.inputReadable = true;
  ASSERT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
  EXPECT_EQ(slot_, 0u);  // the refused input did not use up a slot
}

TEST_F(ColorConverterTest, FailedEngineInitBuildsNoPool) {
  record_.initResult = status::kENotImpl;
  EXPECT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kENotImpl);
  EXPECT_TRUE(converter_.SharedHandles().empty());
  EXPECT_EQ(converter_.Convert(input_, &output_, &slot_), status::kInvalidStateHresult);
}

TEST_F(ColorConverterTest, AnEngineThatCannotTurnKeepsTheInputsOrientation) {
  ASSERT_EQ(converter_.Init(graphics_, 64, 32, 32, 64, OutputRotation::kRotate90), status::kSOk);
  EXPECT_EQ(converter_.appliedRotation(), OutputRotation::kIdentity);
  EXPECT_EQ(converter_.OutputWidth(), 64u);
  EXPECT_EQ(converter_.OutputHeight(), 32u);
  EXPECT_EQ(record_.inits, 2);
  ASSERT_EQ(converter_.Init(graphics_, 64, 32, 64, 32, OutputRotation::kRotate180), status::kSOk);
  EXPECT_EQ(converter_.OutputWidth(), 64u);
  EXPECT_EQ(record_.inits, 3);  // a half turn keeps the size: no second Init
}

TEST_F(ColorConverterTest, ShutdownClosesEveryHandleAndReinitStartsAtSlotZero) {
  converter_.Shutdown();  // never initialised: nothing to close
  EXPECT_EQ(record_.closedSlots, 0);
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kSOk);
  ASSERT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 32, 32), status::kSOk);
  EXPECT_EQ(record_.closedSlots, static_cast<int>(kNv12PoolSlots));
  ASSERT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
  EXPECT_EQ(slot_, 0u);
}

TEST_F(ColorConverterTest, GpuThatNeverFinishesIsWaitedForAtMostTheLimit) {
  record_.withQuery = true;
  record_.queryDone = false;
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 64, 64), status::kSOk);
  ASSERT_EQ(converter_.Convert(input_, &output_, &slot_), status::kSOk);
  converter_.WaitForSlot(slot_);
  EXPECT_NE(sink_.Text().find("GPU conversion did not complete within 200000 us"),
            std::string::npos);
  EXPECT_GE(converter_.lastConvertUs(), ColorConverter::kGpuWaitLimitUs);
  converter_.WaitForSlot(slot_);           // nothing awaited any more: returns at once
  converter_.WaitForSlot(kNv12PoolSlots);  // out of range
}

}  // namespace
}  // namespace veyra
