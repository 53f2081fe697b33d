#include "host/video/video_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/video/color_converter.h"
#include "host/video/fake_encoder_backend.h"
#include "host/video/fake_encoder_transform.h"
#include "host/video/keyed_slot_lock.h"

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kIdrAccessUnit = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88};
const Bytes kNonIdrAccessUnit = {0, 0, 0, 1, 0x41, 0x9A};

// Polls |done| until it holds; false after ten seconds. The pump runs on its
// own thread, so tests wait for counts rather than for time.
template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 10000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// A keyed lock whose next few acquisitions with key 1 fail with a time-out,
// as a surface still busy on the GPU would, or all of them as abandoned.
class FlakyLock final : public KeyedMutex {
 public:
  std::int32_t AcquireSync(std::uint64_t key, std::uint32_t timeoutMs) override {
    if (key == 1 && abandon.load()) return kKeyedMutexAbandoned;
    if (key == 1 && failures.load() > 0) {
      --failures;
      return kKeyedMutexTimeout;
    }
    return lock.AcquireSync(key, timeoutMs);
  }
  std::int32_t ReleaseSync(std::uint64_t key) override { return lock.ReleaseSync(key); }

  KeyedSlotLock lock;
  std::atomic<int> failures{0};
  std::atomic<bool> abandon{false};  // key 1 comes back WAIT_ABANDONED
};

class VideoEncoderTest : public testing::Test {
 protected:
  VideoEncoderTest() : savedThreshold_(LogThreshold()) {
    SetLogThreshold(LogLevel::Debug);
    for (std::size_t i = 0; i < kNv12PoolSlots; ++i) {
      auto lock = std::make_shared<FlakyLock>();
      locks_.push_back(lock);
      handles_.push_back(lock.get());
    }
  }
  ~VideoEncoderTest() override {
    encoder_.Shutdown();
    SetLogThreshold(savedThreshold_);
  }

  std::shared_ptr<FakeTransformRecord> AddRecord() {
    auto record = std::make_shared<FakeTransformRecord>();
    record->surfaceLocks.assign(locks_.begin(), locks_.end());
    records_.push_back(record);
    return record;
  }

  void Open(bool preferHardware = true) {
    EncoderConfig config;
    config.width = 64;
    config.height = 64;
    config.fps = 60;
    config.bitrate = 4000000;
    config.gop = 120;
    config.preferHardware = preferHardware;
    ASSERT_EQ(encoder_.Open(graphics_, config,
                            [this](const EncodedFrame& frame) {
                              const std::lock_guard<std::mutex> lock(framesMutex_);
                              frames_.push_back(frame);
                              frameBytes_.emplace_back(frame.data, frame.data + frame.size);
                              headers_.push_back(encoder_.sequenceHeader());
                            }),
              status::kSOk);
    ASSERT_EQ(encoder_.OpenSharedSurfaces(handles_, 64, 64), status::kSOk);
  }

  // What the converter does to a slot: key 0 in, key 1 out.
  void Convert(std::size_t slot) {
    ASSERT_EQ(locks_[slot]->AcquireSync(0, 0), status::kSOk);
    ASSERT_EQ(locks_[slot]->ReleaseSync(1), status::kSOk);
  }

  // True when the slot is back with the converter (and leaves it there).
  bool AtKeyZero(std::size_t slot) {
    if (locks_[slot]->AcquireSync(0, 0) != status::kSOk) return false;
    locks_[slot]->ReleaseSync(0);
    return true;
  }

  std::size_t FrameCount() {
    const std::lock_guard<std::mutex> lock(framesMutex_);
    return frames_.size();
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  std::vector<std::shared_ptr<FlakyLock>> locks_;
  std::vector<SharedHandle> handles_;
  std::deque<std::shared_ptr<FakeTransformRecord>> records_;
  GraphicsContext graphics_;
  std::mutex framesMutex_;
  std::vector<EncodedFrame> frames_;
  std::vector<Bytes> frameBytes_;
  std::vector<Bytes> headers_;
  VideoEncoder encoder_{std::make_unique<FakeEncoderBackend>(&records_)};

 private:
  LogLevel savedThreshold_;
};

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

// MEError, or an event that carries a failure, ends the stream and says
// why, so that the pipeline is built again instead of idling as running.
TEST_F(VideoEncoderTest, MEErrorOrAFailedEventStopsThePumpWithTheCause) {
  auto record = AddRecord();
  record->events = {kEventError};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return !encoder_.running(); }));
  EXPECT_EQ(encoder_.failure(), status::kEFail);
  EXPECT_NE(sink_.Text().find("encoder reported MEError: 0x80004005"), std::string::npos);
  encoder_.Shutdown();

  auto failing = AddRecord();
  failing->events = {kEventNeedInput};
  failing->eventStatuses = {status::kEOutOfMemory};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return !encoder_.running(); }));
  EXPECT_EQ(encoder_.failure(), status::kEOutOfMemory);
  encoder_.Shutdown();
  AddRecord();
  Open();
  EXPECT_EQ(encoder_.failure(), status::kSOk);  // a new stream starts clean
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

// After a stream change the output type is chosen again, the sequence
// header read again, and the output that was waiting is taken.
TEST_F(VideoEncoderTest, AStreamChangeRenegotiatesAndTakesTheWaitingOutput) {
  auto record = AddRecord();
  record->streamChanges = 1;
  record->events = {kEventHaveOutput};
  record->outputs = {kIdrAccessUnit};
  Open();
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  const auto calls = record->Read([](const auto& r) { return r.calls; });
  // The pump's calls only: opening the surfaces may interleave.
  std::vector<std::string> afterChange;
  for (const auto& call : calls) {
    if (call.name == "RenegotiateOutput" ||
        (!afterChange.empty() &&
         (call.name == "SequenceHeaderOfType" || call.name == "ProcessOutput"))) {
      afterChange.push_back(call.name);
    }
  }
  ASSERT_GE(afterChange.size(), 3u);
  EXPECT_EQ(afterChange[1], "SequenceHeaderOfType");
  EXPECT_EQ(afterChange[2], "ProcessOutput");
  EXPECT_NE(sink_.Text().find("encoder output type changed; renegotiated"), std::string::npos);
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

  const std::lock_guard<std::mutex> lock(framesMutex_);
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

TEST_F(VideoEncoderTest, SynchronousTransformIsDrainedAfterEachSubmit) {
  auto record = AddRecord();
  record->hasEvents = false;
  record->outputPerInput = kIdrAccessUnit;
  Open(/*preferHardware=*/false);
  EXPECT_FALSE(encoder_.hardware());
  Convert(5);
  encoder_.PostFrame(5, 7, 70);
  ASSERT_TRUE(WaitUntil([&] { return FrameCount() == 1; }));
  EXPECT_EQ(record->Read([](const auto& r) { return r.inputs; }), std::vector<std::uint64_t>{7});
  encoder_.Shutdown();
  EXPECT_EQ(record->Read([](const auto& r) { return r.shutdowns; }), 0);  // no event generator
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

TEST_F(VideoEncoderTest, ShutdownAfterThePumpDiedJoinsItAndTheEncoderReopens) {
  auto first = AddRecord();
  first->getEventFailure = status::kEFail;
  auto second = AddRecord();
  Open();
  ASSERT_TRUE(WaitUntil([&] { return !encoder_.running(); }));
  EXPECT_NE(sink_.Text().find("encoder GetEvent failed: 0x80004005"), std::string::npos);
  EXPECT_EQ(encoder_.PostFrame(0, 1, 0), PostResult::kRefused);

  // Opening the surfaces may overlap the pump's first calls; from here on
  // nothing may overlap.
  first->Write([](auto& r) { r.overlapped = false; });
  encoder_.Shutdown();
  const auto calls = first->Read([](const auto& r) { return r.calls; });
  EXPECT_EQ(first->Read([](const auto& r) { return r.shutdowns; }), 1);
  EXPECT_FALSE(first->Read([](const auto& r) { return r.overlapped; }));
  std::size_t flush = calls.size();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].name == "ProcessMessage:CommandFlush") {
      flush = i;
      break;
    }
  }
  ASSERT_LT(flush, calls.size());
  for (std::size_t i = flush; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].thread, std::this_thread::get_id()) << calls[i].name;
  }

  Open();
  EXPECT_TRUE(encoder_.running());
  encoder_.Shutdown();
  EXPECT_EQ(first->Read([](const auto& r) { return r.shutdowns; }), 1);
  EXPECT_EQ(second->Read([](const auto& r) { return r.shutdowns; }), 1);
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

TEST_F(VideoEncoderTest, HardwareMissingFallsBackToSoftwareOnceWithAWarning) {
  VideoEncoder encoder(std::make_unique<FakeEncoderBackend>(&records_, false, true));
  auto record = AddRecord();
  EncoderConfig config;
  config.width = 64;
  config.height = 64;
  config.bitrate = 2000000;
  config.gop = 30;
  ASSERT_EQ(encoder.Open(graphics_, config, nullptr), status::kSOk);
  EXPECT_EQ(encoder.name(), "Fake Software Encoder");
  EXPECT_FALSE(encoder.hardware());
  const std::string text = sink_.Text();
  EXPECT_NE(text.find("no hardware H.264 encoder; falling back to software"), std::string::npos);
  EXPECT_NE(text.find("encoder ready: Fake Software Encoder (software), 64x64@60 2000 kbps"),
            std::string::npos);
  const auto settings = record->Read([](const auto& r) { return r.settings; });
  const std::vector<CodecSetting> expected = LowLatencySettings(config);
  ASSERT_EQ(settings.size(), expected.size());
  for (std::size_t i = 0; i < settings.size(); ++i) {
    EXPECT_STREQ(settings[i].displayName, expected[i].displayName);
    EXPECT_EQ(settings[i].value, expected[i].value);
  }
  EXPECT_EQ(expected.back().value, 4166u);  // bytes: one frame of 2 Mbit/s at 60 a second
}

// A hardware encoder that refuses the size, the device or one more session
// gives way to the next candidate, hardware first, and is shut down.
TEST_F(VideoEncoderTest, CandidatesThatFailToStartGiveWayToTheNext) {
  VideoEncoder encoder(std::make_unique<FakeEncoderBackend>(&records_, 2, true));
  auto refusesTypes = AddRecord();
  refusesTypes->configureResult = status::kEInvalidArg;
  auto refusesStart = AddRecord();
  refusesStart->startOfStreamResult = status::kEOutOfMemory;
  auto software = AddRecord();
  EncoderConfig config;
  ASSERT_EQ(encoder.Open(graphics_, config, nullptr), status::kSOk) << sink_.Text();
  EXPECT_EQ(encoder.name(), "Fake Software Encoder");
  const std::string text = sink_.Text();
  EXPECT_NE(text.find("media types failed: 0x80070057"), std::string::npos) << text;
  EXPECT_NE(text.find("encoder Fake Hardware Encoder could not start; trying the next one"),
            std::string::npos);
  EXPECT_NE(text.find("START_OF_STREAM failed: 0x8007000E"), std::string::npos);
  EXPECT_NE(text.find("encoder Fake Hardware Encoder 2 could not start; trying the next one"),
            std::string::npos);
  EXPECT_EQ(text.find("no hardware H.264 encoder"), std::string::npos);
  EXPECT_EQ(refusesTypes->Read([](const auto& r) { return r.shutdowns; }), 1);
  EXPECT_EQ(refusesStart->Read([](const auto& r) { return r.shutdowns; }), 1);
  EXPECT_EQ(software->Read([](const auto& r) { return r.shutdowns; }), 0);

  // When every candidate fails, the last failure is the answer.
  VideoEncoder none(std::make_unique<FakeEncoderBackend>(&records_, 1, false));
  AddRecord()->configureResult = status::kEInvalidArg;
  EXPECT_EQ(none.Open(graphics_, config, nullptr), status::kEInvalidArg);
  EXPECT_FALSE(none.running());
}

TEST_F(VideoEncoderTest, NoEncoderAtAllFailsTheSelection) {
  VideoEncoder encoder(std::make_unique<FakeEncoderBackend>(&records_, false, false));
  EncoderConfig config;
  EXPECT_EQ(encoder.Open(graphics_, config, nullptr), status::kMfETopoCodecNotFound);
  EXPECT_NE(sink_.Text().find("encoder selection failed: 0xC00D5212"), std::string::npos);
  EXPECT_FALSE(encoder.running());
}

TEST_F(VideoEncoderTest, HardwareTransformWithoutEventsCannotOpenButIsShutDown) {
  auto record = AddRecord();
  record->hasEvents = false;
  VideoEncoder encoder(std::make_unique<FakeEncoderBackend>(&records_));
  EncoderConfig config;
  EXPECT_EQ(encoder.Open(graphics_, config, nullptr), status::kENoInterface);
  EXPECT_NE(sink_.Text().find("IMFMediaEventGenerator query failed"), std::string::npos);
  encoder.Shutdown();
  EXPECT_EQ(record->Read([](const auto& r) { return r.shutdowns; }), 0);
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
  ASSERT_EQ(settings.size(), settingsAtOpen + 2);
  EXPECT_EQ(settings[settingsAtOpen].property, CodecProperty::kMeanBitRate);
  EXPECT_EQ(settings[settingsAtOpen].value, 3000000u);
  EXPECT_EQ(settings.back().property, CodecProperty::kForceKeyFrame);
  const auto calls = record->Read([](const auto& r) { return r.calls; });
  std::vector<std::string> tail;
  for (const auto& call : calls) {
    if (call.name == "ApplySetting" || call.name == "ProcessInput") tail.push_back(call.name);
  }
  ASSERT_GE(tail.size(), 3u);
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
