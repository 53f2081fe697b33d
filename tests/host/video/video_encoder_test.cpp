#include "host/video/video_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/clock.h"
#include "host/base/status_codes.h"
#include "host/video/color_converter.h"
#include "tests/host/video/video_encoder_fixture.h"

// Frames through a running encoder: the NV12 slots handed over and back,
// inputs fed against the transform's requests, outputs matched to inputs,
// and bit-rate and keyframe requests.

namespace veyra {
namespace {

using testing_video::Bytes;
using testing_video::kIdrAccessUnit;
using testing_video::kNonIdrAccessUnit;
using testing_video::VideoEncoderTest;
using testing_video::WaitUntil;

TEST_F(VideoEncoderTest, NewerPostsSupersedePendingFramesAndReturnTheirSlots) {
  auto record = AddRecord();
  record->acceptsInput = false;
  Open();
  for (std::size_t slot = 1; slot <= 3; ++slot) Convert(slot);
  EXPECT_EQ(encoder_.PostFrame(1, 1, 100), PostResult::kAccepted);
  EXPECT_EQ(encoder_.PostFrame(2, 2, 200), PostResult::kReplaced);
  EXPECT_EQ(encoder_.PostFrame(3, 3, 300), PostResult::kReplaced);
  EXPECT_EQ(encoder_.supersededFrames(), 2u);
  EXPECT_TRUE(AtKeyZero(1));
  EXPECT_TRUE(AtKeyZero(2));
  EXPECT_FALSE(AtKeyZero(3));  // frame 3 is still pending
  EXPECT_TRUE(record->Read([](const auto& r) { return r.inputs.empty(); }));
}

TEST_F(VideoEncoderTest, ShutdownReturnsThePendingSlot) {
  auto record = AddRecord();
  record->acceptsInput = false;
  Open();
  Convert(4);
  ASSERT_EQ(encoder_.PostFrame(4, 9, 900), PostResult::kAccepted);
  encoder_.Shutdown();
  EXPECT_TRUE(AtKeyZero(4));
  EXPECT_EQ(encoder_.PostFrame(4, 10, 1000), PostResult::kRefused);
}

// An asynchronous transform takes input only when it asked for it; a
// request is spent only by an input it took, not by a failed copy.
TEST_F(VideoEncoderTest, AnEventDrivenTransformIsFedOnlyAgainstItsInputRequests) {
  auto record = AddRecord();
  record->acceptsInput = false;  // it asks only when the test says so
  record->events = {kEventNeedInput};
  Open();
  const int statusCallsAfterOpen =
      record->Read([](const auto& r) { return r.getInputStatusCalls; });
  const auto calls = [&](const char* name) {
    return record->Read([&](const auto& r) {
      return std::count_if(r.calls.begin(), r.calls.end(),
                           [&](const auto& call) { return call.name == name; });
    });
  };

  Convert(0);
  encoder_.PostFrame(0, 1, 10);
  ASSERT_TRUE(
      WaitUntil([&] { return record->Read([](const auto& r) { return r.inputs.size() == 1; }); }));
  // Unrequested: the frame waits, the input status is not asked instead.
  Convert(1);
  encoder_.PostFrame(1, 2, 20);
  const auto polls = calls("GetEvent");
  ASSERT_TRUE(WaitUntil([&] { return calls("GetEvent") > polls + 3; }));
  EXPECT_EQ(record->Read([](const auto& r) { return r.inputs.size(); }), 1u);

  // A request whose copy fails is kept for the next frame.
  record->Write([](auto& r) {
    r.copyResult = status::kEFail;
    r.events.push_back(kEventNeedInput);
  });
  ASSERT_TRUE(WaitUntil([&] { return calls("CopySurface") == 2; }));
  record->Write([](auto& r) { r.copyResult = status::kSOk; });
  Convert(2);
  encoder_.PostFrame(2, 3, 30);
  ASSERT_TRUE(
      WaitUntil([&] { return record->Read([](const auto& r) { return r.inputs.size() == 2; }); }));
  EXPECT_EQ(record->Read([](const auto& r) { return r.inputs; }),
            (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(record->Read([](const auto& r) { return r.getInputStatusCalls; }),
            statusCallsAfterOpen);
  for (std::size_t slot = 0; slot < 3; ++slot) EXPECT_TRUE(AtKeyZero(slot)) << slot;
}

// Told of its events, the pump sleeps while a frame waits for an input
// request (it used to look every 200 us) and feeds it as soon as the
// request comes.
TEST_F(VideoEncoderTest, AWatchedTransformWakesThePumpOnlyWithItsEvents) {
  auto record = AddRecord();
  record->watchEvents = true;
  record->acceptsInput = false;
  record->outputPerInput = kIdrAccessUnit;
  record->events = {kEventNeedInput};
  Open();
  Convert(0);
  encoder_.PostFrame(0, 1, 10);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));

  Convert(1);
  encoder_.PostFrame(1, 2, 20);
  const std::uint64_t startUs = NowUs();
  const std::uint64_t passes = encoder_.counters().iterations.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  const std::uint64_t elapsedUs = NowUs() - startUs;
  // At most one pass per idle wait, however fast the machine.
  EXPECT_LE(encoder_.counters().iterations.load() - passes,
            elapsedUs / VideoEncoder::kIdleWaitUs + 3);
  record->Write([](auto& r) { r.Post(kEventNeedInput); });
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 2; }));
  EXPECT_EQ(record->Read([](const auto& r) { return r.inputs; }),
            (std::vector<std::uint64_t>{1, 2}));
}

// One ProcessOutput per METransformHaveOutput: a second output waits for
// its own event.
TEST_F(VideoEncoderTest, EachHaveOutputEventTakesOneOutput) {
  auto record = AddRecord();
  record->events = {kEventHaveOutput};
  record->outputs = {kIdrAccessUnit, kNonIdrAccessUnit};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  const auto polls = record->Read([](const auto& r) { return r.calls.size(); });
  ASSERT_TRUE(WaitUntil(
      [&] { return record->Read([](const auto& r) { return r.calls.size(); }) > polls + 6; }));
  EXPECT_EQ(FrameCount(), 1u);
  record->Write([](auto& r) { r.events.push_back(kEventHaveOutput); });
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 2; }));
}

// A slot abandoned by the converter's device ends the stream with
// WAIT_ABANDONED, which the session takes for lost devices.
TEST_F(VideoEncoderTest, AnAbandonedSlotStopsThePumpForNewDevices) {
  AddRecord();
  Open();
  locks_[2]->abandon = true;
  Convert(2);
  encoder_.PostFrame(2, 1, 10);
  ASSERT_TRUE(WaitUntil([&] { return !encoder_.running(); }));
  EXPECT_EQ(encoder_.failure(), kKeyedMutexAbandoned);
}

// A slot's own texture stays with the transform until its output came:
// the slot coming round again before that is dropped, not copied over.
TEST_F(VideoEncoderTest, ASlotStillBeingEncodedIsNotCopiedOver) {
  auto record = AddRecord();  // outputs nothing: every input stays in flight
  Open();
  Convert(4);
  encoder_.PostFrame(4, 1, 10);
  ASSERT_TRUE(
      WaitUntil([&] { return record->Read([](const auto& r) { return r.inputs.size() == 1; }); }));
  ASSERT_TRUE(AtKeyZero(4));
  Convert(4);
  encoder_.PostFrame(4, 2, 20);
  ASSERT_TRUE(WaitUntil([&] {
    return sink_.Text().find("NV12 slot 4 is still being encoded; dropping frame") !=
           std::string::npos;
  }));
  EXPECT_TRUE(AtKeyZero(4));
  EXPECT_EQ(record->Read([](const auto& r) { return r.inputs.size(); }), 1u);
}

TEST_F(VideoEncoderTest, OutputsMatchInputsInOrderAndTheFirstIdrGivesTheHeader) {
  auto record = AddRecord();
  record->outputPerInput = kIdrAccessUnit;
  Open();
  Convert(0);
  encoder_.PostFrame(0, 41, 4100);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  record->Write([](auto& r) { r.outputPerInput = kNonIdrAccessUnit; });
  Convert(1);
  encoder_.PostFrame(1, 42, 4200);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 2; }));
  // The transform skips frame 43 (a rate control may): the output after it
  // is 44's, and 43 holds no slot or count any more.
  record->Write([](auto& r) { r.outputPerInput.clear(); });
  Convert(2);
  encoder_.PostFrame(2, 43, 4300);
  ASSERT_TRUE(
      WaitUntil([&] { return record->Read([](const auto& r) { return r.inputs.size() == 3; }); }));
  record->Write([](auto& r) { r.outputPerInput = kNonIdrAccessUnit; });
  Convert(3);
  encoder_.PostFrame(3, 44, 4400);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 3; }));

  const std::lock_guard<std::mutex> lock(framesMutex_);
  EXPECT_EQ(frames_[2].frameId, 44u);
  EXPECT_EQ(frames_[2].captureTimeUs, 4400u);
  EXPECT_EQ(frames_[0].frameId, 41u);
  EXPECT_EQ(frames_[0].captureTimeUs, 4100u);
  EXPECT_TRUE(frames_[0].keyframe);
  EXPECT_EQ(frameBytes_[0], kIdrAccessUnit);
  EXPECT_EQ(frames_[1].frameId, 42u);
  EXPECT_FALSE(frames_[1].keyframe);
  EXPECT_EQ(headers_[0], (Bytes{0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}));
  EXPECT_EQ(headers_[1], headers_[0]);
  EXPECT_EQ(encoder_.inflightCount(), 0u);
}

TEST_F(VideoEncoderTest, OutputWithoutAMatchingInputHasFrameIdZero) {
  auto record = AddRecord();
  record->events = {kEventHaveOutput};
  record->outputs = {kNonIdrAccessUnit};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  const std::lock_guard<std::mutex> lock(framesMutex_);
  EXPECT_EQ(frames_[0].frameId, 0u);
  EXPECT_EQ(frames_[0].captureTimeUs, 0u);
  EXPECT_GT(frames_[0].encodedTimeUs, 0u);
  EXPECT_EQ(encoder_.inflightCount(), 0u);
}

TEST_F(VideoEncoderTest, SlotThatCannotBeAcquiredIsReturnedAndAllSlotsStayUsable) {
  auto record = AddRecord();
  Open();
  locks_[0]->failures = 1;
  Convert(0);
  encoder_.PostFrame(0, 1, 10);
  ASSERT_TRUE(WaitUntil([&] {
    return sink_.Text().find("could not acquire NV12 slot 0 for encoding") != std::string::npos;
  }));
  ASSERT_TRUE(WaitUntil([&] { return AtKeyZero(0); }));

  for (std::size_t slot = 0; slot < kNv12PoolSlots; ++slot) {
    Convert(slot);
    encoder_.PostFrame(slot, 2 + slot, 0);
    ASSERT_TRUE(WaitUntil([&] {
      return record->Read([&](const auto& r) { return r.inputs.size() == slot + 1; });
    })) << "slot "
        << slot;
    EXPECT_TRUE(AtKeyZero(slot)) << "slot " << slot;
  }
  EXPECT_EQ(record->Read([](const auto& r) { return r.inputs.front(); }), 2u);
}

TEST_F(VideoEncoderTest, CaptureRacingThePumpLosesNoSlotAndCountsEveryFrame) {
  auto record = AddRecord();
  record->outputPerInput = kNonIdrAccessUnit;
  Open();
  std::uint64_t posted = 0;
  std::uint64_t dropped = 0;
  for (std::uint64_t id = 1; id <= 2000; ++id) {
    const std::size_t slot = id % kNv12PoolSlots;
    if (locks_[slot]->AcquireSync(0, ColorConverter::kSlotWaitMs) != status::kSOk) {
      ++dropped;  // still with the encoder, as the converter would find it
      continue;
    }
    locks_[slot]->ReleaseSync(1);
    ASSERT_NE(encoder_.PostFrame(slot, id, id), PostResult::kRefused);
    ++posted;
    // Now and then leave the pump time to take a frame, so that takes and
    // replacements interleave.
    if (id % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  encoder_.Shutdown();

  const std::uint64_t inputs = record->Read([](const auto& r) { return r.inputs.size(); });
  const std::uint64_t accounted = inputs + encoder_.supersededFrames();
  EXPECT_LE(accounted, posted);
  EXPECT_GE(accounted + 1, posted);  // at most one was still pending at Shutdown
  // Shutdown flushes without draining: the last output may be dropped.
  EXPECT_LE(FrameCount(), inputs);
  EXPECT_GE(FrameCount() + 1, inputs);
  for (std::size_t slot = 0; slot < kNv12PoolSlots; ++slot) {
    EXPECT_TRUE(AtKeyZero(slot)) << "slot " << slot;
  }
  std::printf("posted %llu, dropped %llu, encoded %llu\n", static_cast<unsigned long long>(posted),
              static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(inputs));
}

// Bit-rate and keyframe requests reach the transform on the pump thread,
// right before the input they belong to.
TEST_F(VideoEncoderTest, BitrateAndKeyframeGoInRightBeforeTheNextInputAndAreKeptWhenClosed) {
  auto record = AddRecord();
  Open();
  const std::size_t settingsAtOpen = record->Read([](const auto& r) { return r.settings.size(); });
  encoder_.SetBitrate(3000000);
  encoder_.RequestKeyframe();
  EXPECT_EQ(encoder_.config().bitrate, 3000000u);
  EXPECT_EQ(record->Read([](const auto& r) { return r.settings.size(); }), settingsAtOpen);

  Convert(0);
  encoder_.PostFrame(0, 1, 10);
  ASSERT_TRUE(
      WaitUntil([&] { return record->Read([](const auto& r) { return r.inputs.size() == 1; }); }));
  EXPECT_NE(sink_.Text().find("bitrate -> 3000 kbps"), std::string::npos);
  const auto settings = record->Read([](const auto& r) { return r.settings; });
  ASSERT_EQ(settings.size(), settingsAtOpen + 3);
  EXPECT_EQ(settings[settingsAtOpen].property, CodecProperty::kMeanBitRate);
  EXPECT_EQ(settings[settingsAtOpen].value, 3000000u);
  EXPECT_EQ(settings[settingsAtOpen + 1].property, CodecProperty::kBufferSize);
  EXPECT_EQ(settings.back().property, CodecProperty::kForceKeyFrame);
  const auto calls = record->Read([](const auto& r) { return r.calls; });
  std::vector<std::string> tail;
  for (const auto& call : calls) {
    if (call.name == "ApplySetting" || call.name == "ProcessInput") tail.push_back(call.name);
  }
  ASSERT_GE(tail.size(), 4u);
  EXPECT_EQ(tail[tail.size() - 4], "ApplySetting");
  EXPECT_EQ(tail[tail.size() - 3], "ApplySetting");
  EXPECT_EQ(tail[tail.size() - 2], "ApplySetting");
  EXPECT_EQ(tail.back(), "ProcessInput");
  for (const auto& call : calls) {
    if (call.name == "ProcessInput") {
      EXPECT_NE(call.thread, std::this_thread::get_id());
    }
  }

  encoder_.Shutdown();
  encoder_.SetBitrate(1000000);
  EXPECT_EQ(encoder_.config().bitrate, 1000000u);
}

TEST_F(VideoEncoderTest, PostFrameRefusesSlotsWithoutASurface) {
  AddRecord();
  Open();
  EXPECT_EQ(encoder_.PostFrame(kNv12PoolSlots, 1, 0), PostResult::kRefused);
}

}  // namespace
}  // namespace veyra
