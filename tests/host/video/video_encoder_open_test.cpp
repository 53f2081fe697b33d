#include "host/video/video_encoder.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/base/status_codes.h"
#include "host/video/encoder_bans.h"
#include "host/video/encoder_config.h"
#include "host/video/fake_encoder_backend.h"
#include "tests/host/video/video_encoder_fixture.h"

// Opening the encoder and what ends a stream: choosing among the
// candidates, falling back to software, a stream change renegotiated, and a
// pump that failed joined and the encoder opened again.

namespace veyra {
namespace {

using testing_video::kIdrAccessUnit;
using testing_video::VideoEncoderTest;
using testing_video::WaitUntil;

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

  // The rebuild passes over the hardware encoder that failed (it is made
  // and shut down again) and takes the software one.
  auto skipped = AddRecord();
  auto failing = AddRecord();
  failing->events = {kEventNeedInput};
  failing->eventStatuses = {status::kEOutOfMemory};
  Open();
  EXPECT_EQ(encoder_.name(), "Fake Software Encoder");
  EXPECT_EQ(skipped->Read([](const auto& r) { return r.shutdowns; }), 1);
  ASSERT_TRUE(WaitUntil([&] { return !encoder_.running(); }));
  EXPECT_EQ(encoder_.failure(), status::kEOutOfMemory);
  encoder_.Shutdown();
  // The software encoder is the last resort: it is never passed over.
  AddRecord();
  AddRecord();
  Open();
  EXPECT_EQ(encoder_.name(), "Fake Software Encoder");
  EXPECT_EQ(encoder_.failure(), status::kSOk);  // a new stream starts clean
}

// A device removed or reset (a driver update, a GPU reset, resume from
// sleep) ends the stream, but the hardware encoder is no worse for it: the
// rebuild takes it again.
TEST_F(VideoEncoderTest, AnEncoderThatLostItsDeviceIsTakenAgain) {
  for (const std::int32_t lost : {status::kDxgiErrorDeviceRemoved, status::kDxgiErrorDeviceReset}) {
    auto record = AddRecord();
    record->events = {kEventError};
    record->eventStatuses = {lost};
    Open();
    ASSERT_TRUE(WaitUntil([&] { return !encoder_.running(); }));
    EXPECT_EQ(encoder_.failure(), lost);
    encoder_.Shutdown();
  }
  AddRecord();
  Open();
  EXPECT_EQ(encoder_.name(), "Fake Hardware Encoder");
  EXPECT_NE(sink_.Text().find("encoder Fake Hardware Encoder lost its device"), std::string::npos);
}

// A ban holds one encoder on one adapter, and ends.
TEST(EncoderBansTest, ABanIsPerAdapterAndEncoderAndRunsOut) {
  EncoderBans bans;
  bans.Ban(7, "GPU H.264", 1000);
  EXPECT_TRUE(bans.Banned(7, "GPU H.264", 1000 + EncoderBans::kBanUs - 1));
  EXPECT_FALSE(bans.Banned(8, "GPU H.264", 1000));
  EXPECT_FALSE(bans.Banned(7, "Other H.264", 1000));
  EXPECT_FALSE(bans.Banned(7, "GPU H.264", 1000 + EncoderBans::kBanUs));
  EXPECT_FALSE(IsDeviceLoss(status::kEFail));
  EXPECT_TRUE(IsDeviceLoss(status::kDxgiErrorDeviceHung));
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

}  // namespace
}  // namespace veyra
