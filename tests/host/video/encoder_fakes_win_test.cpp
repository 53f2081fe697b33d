// The Media Foundation back end against fake encoder transforms that
// behave as the transform documentation says; Media Foundation itself
// (start-up, attributes, media types, samples, events) is Wine's real one.
// windows.h first, so that codecapi.h declares its ids with __uuidof.
#include <windows.h>

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"
#include "host/video/media_foundation_platform_win.h"
#include "host/video/video_encoder.h"
#include "tests/host/video/fake_media_foundation_win.h"

namespace veyra {
namespace {

using testing::FakeEncodedOutput;
using testing::FakeEncoderCatalogue;
using testing::FakeMftRecord;

constexpr UINT32 kHardwareFlags = 0x44;
constexpr UINT32 kSoftwareFlags = 0x43;

class EncoderFakesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogLevel::Debug);
    ASSERT_EQ(graphics_.Init(0), status::kSOk) << sink_.Text();
    config_.width = 1920;
    config_.height = 1080;
    config_.fps = 60;
    config_.bitrate = 12000000;
    config_.gop = 120;
  }
  void TearDown() override { SetLogThreshold(LogLevel::Info); }

  std::int32_t Open(VideoEncoder::FrameCallback onFrame = nullptr) {
    platform_ = catalogue_.Platform();
    encoder_ = std::make_unique<VideoEncoder>(CreateMediaFoundationBackend(platform_));
    return encoder_->Open(graphics_, config_, std::move(onFrame));
  }
  bool Logged(const std::string& text) const {
    return sink_.Text().find(text) != std::string::npos;
  }
  // Waits, at most two seconds, for the pump to make |done| true.
  bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 400; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  GraphicsContext graphics_;
  EncoderConfig config_;
  // The fakes' records outlive the encoder, which shuts down last.
  FakeMftRecord hardware_;
  FakeMftRecord software_;
  FakeEncoderCatalogue catalogue_;
  MediaFoundationPlatform platform_;
  std::unique_ptr<VideoEncoder> encoder_;
};

TEST_F(EncoderFakesTest, NoHardwareEncoderFallsBackToSoftwareWithTheWarning) {
  FakeMftRecord& software = software_;
  catalogue_.software = {{L"Fake Software H.264", &software}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_EQ(catalogue_.enumerationFlags, (std::vector<UINT32>{kHardwareFlags, kSoftwareFlags}));
  EXPECT_TRUE(Logged("WARN  no hardware H.264 encoder; falling back to software\n"));
  EXPECT_TRUE(
      Logged("INFO  encoder ready: Fake Software H.264 (software), 1920x1080@60 12000 kbps\n"))
      << sink_.Text();
  EXPECT_EQ(encoder_->name(), "Fake Software H.264");
  EXPECT_FALSE(encoder_->hardware());
  // Activation objects are released, never shut down.
  EXPECT_EQ(catalogue_.shutdownObjects, 0);
  encoder_->Shutdown();
  EXPECT_EQ(catalogue_.startups, 1);
  EXPECT_EQ(catalogue_.shutdowns, 1);
}

TEST_F(EncoderFakesTest, HardwareNotPreferredIsNeverEnumerated) {
  FakeMftRecord& hardware = hardware_;
  FakeMftRecord& software = software_;
  catalogue_.hardware = {{L"Fake Hardware H.264", &hardware}};
  catalogue_.software = {{L"Fake Software H.264", &software}};
  config_.preferHardware = false;
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_EQ(catalogue_.enumerationFlags, (std::vector<UINT32>{kSoftwareFlags}));
  EXPECT_FALSE(encoder_->hardware());
  EXPECT_TRUE(hardware.calls.empty());
}

TEST_F(EncoderFakesTest, TheFirstEncoderThatActivatesIsChosen) {
  FakeMftRecord& second = software_;
  catalogue_.software = {{L"Broken", nullptr}, {L"Second", &second}};
  config_.preferHardware = false;
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_EQ(encoder_->name(), "Second");
}

TEST_F(EncoderFakesTest, CodecSettingsComeInOrderBeforeTheMediaTypesWithAFrameOfBuffer) {
  FakeMftRecord& software = software_;
  catalogue_.software = {{L"Fake", &software}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  struct Expected {
    GUID api;
    VARTYPE type;
    std::uint32_t value;
  };
  const std::uint32_t kTrue = static_cast<std::uint16_t>(VARIANT_TRUE);
  const Expected expected[] = {
      {CODECAPI_AVLowLatencyMode, VT_BOOL, kTrue},
      {CODECAPI_AVEncCommonLowLatency, VT_BOOL, kTrue},
      {CODECAPI_AVEncMPVDefaultBPictureCount, VT_UI4, 0},
      {CODECAPI_AVEncVideoMaxNumRefFrame, VT_UI4, 1},
      {CODECAPI_AVEncCommonRateControlMode, VT_UI4, 0},
      {CODECAPI_AVEncCommonMeanBitRate, VT_UI4, 12000000},
      {CODECAPI_AVEncMPVGOPSize, VT_UI4, 120},
      {CODECAPI_AVEncCommonQualityVsSpeed, VT_UI4, 0},
      {CODECAPI_AVEncCommonRealTime, VT_BOOL, kTrue},
      {CODECAPI_AVEncCommonBufferSize, VT_UI4, 25000},  // bytes: 12 Mbit/s over 60 frames
  };
  const std::lock_guard<std::mutex> lock(software.mutex);
  // Every fixed setting before the first media type.
  const auto firstType = std::find(software.calls.begin(), software.calls.end(), "SetOutputType");
  ASSERT_NE(firstType, software.calls.end());
  EXPECT_EQ(std::count(software.calls.begin(), firstType, "SetValue"),
            static_cast<std::ptrdiff_t>(std::size(expected)));
  ASSERT_EQ(software.settings.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_TRUE(software.settings[i].api == expected[i].api) << i;
    EXPECT_EQ(software.settings[i].type, expected[i].type) << i;
    EXPECT_EQ(software.settings[i].value, expected[i].value) << i;
  }
}

// A rate beyond what the encoder states it takes goes in as its maximum;
// a range without a maximum bounds nothing.
TEST_F(EncoderFakesTest, TheRateStaysInsideTheRangeTheEncoderStates) {
  software_.ranges = {{CODECAPI_AVEncCommonMeanBitRate, VT_UI4, 8000000},
                      {CODECAPI_AVEncCommonBufferSize, VT_EMPTY, 0}};
  catalogue_.software = {{L"Fake", &software_}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  const std::lock_guard<std::mutex> lock(software_.mutex);
  const auto valueOf = [&](const GUID& api) {
    const auto found = std::find_if(software_.settings.begin(), software_.settings.end(),
                                    [&](const auto& setting) { return setting.api == api; });
    return found == software_.settings.end() ? 0u : found->value;
  };
  EXPECT_EQ(valueOf(CODECAPI_AVEncCommonMeanBitRate), 8000000u);
  EXPECT_EQ(valueOf(CODECAPI_AVEncCommonBufferSize), 25000u);
}

TEST_F(EncoderFakesTest, ARejectedSettingIsOnlyADebugLine) {
  FakeMftRecord& software = software_;
  software.rejectedSettings = {CODECAPI_AVEncCommonBufferSize};
  catalogue_.software = {{L"Fake", &software}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_TRUE(Logged("DEBUG encoder does not accept BufferSize: 0x80004001")) << sink_.Text();
}

TEST_F(EncoderFakesTest, OutputTypeIsSetBeforeTheInputType) {
  FakeMftRecord& software = software_;
  catalogue_.software = {{L"Fake", &software}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  const std::lock_guard<std::mutex> lock(software.mutex);
  ASSERT_EQ(software.outputTypes.size(), 1u);
  ASSERT_TRUE(software.inputType);
  IMFMediaType* output = software.outputTypes[0].Get();
  GUID subtype{};
  UINT32 value = 0;
  UINT32 width = 0;
  UINT32 height = 0;
  ASSERT_EQ(output->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
  EXPECT_TRUE(subtype == MFVideoFormat_H264);
  ASSERT_EQ(output->GetUINT32(MF_MT_AVG_BITRATE, &value), S_OK);
  EXPECT_EQ(value, 12000000u);
  ASSERT_EQ(output->GetUINT32(MF_MT_MPEG2_PROFILE, &value), S_OK);
  EXPECT_EQ(value, 100u);
  ASSERT_EQ(output->GetUINT32(MF_MT_INTERLACE_MODE, &value), S_OK);
  EXPECT_EQ(value, 2u);
  ASSERT_EQ(MFGetAttributeSize(output, MF_MT_FRAME_SIZE, &width, &height), S_OK);
  EXPECT_EQ(width, 1920u);
  EXPECT_EQ(height, 1080u);
  ASSERT_EQ(software.inputType->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
  EXPECT_TRUE(subtype == MFVideoFormat_NV12);
  UINT32 numerator = 0;
  UINT32 denominator = 0;
  ASSERT_EQ(
      MFGetAttributeRatio(software.inputType.Get(), MF_MT_FRAME_RATE, &numerator, &denominator),
      S_OK);
  EXPECT_EQ(numerator, 60u);
  EXPECT_EQ(denominator, 1u);
  // Both types say what the converter makes: limited-range BT.709.
  for (IMFMediaType* type : {output, software.inputType.Get()}) {
    EXPECT_EQ(MFGetAttributeUINT32(type, MF_MT_VIDEO_PRIMARIES, 0), UINT32{MFVideoPrimaries_BT709});
    EXPECT_EQ(MFGetAttributeUINT32(type, MF_MT_TRANSFER_FUNCTION, 0), UINT32{MFVideoTransFunc_709});
    EXPECT_EQ(MFGetAttributeUINT32(type, MF_MT_YUV_MATRIX, 0), UINT32{MFVideoTransferMatrix_BT709});
    EXPECT_EQ(MFGetAttributeUINT32(type, MF_MT_VIDEO_NOMINAL_RANGE, 0),
              UINT32{MFNominalRange_16_235});
  }
}

TEST_F(EncoderFakesTest, AnAsyncHardwareEncoderIsUnlockedBoundAndDrivenByEvents) {
  FakeMftRecord& hardware = hardware_;
  hardware.async = true;
  catalogue_.hardware = {{L"Fake Hardware H.264", &hardware}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_TRUE(encoder_->hardware());
  EXPECT_TRUE(Logged("DEBUG MFT attributes: ASYNC=1 D3D11_AWARE=1\n")) << sink_.Text();
  // The pump thread writes its first line in its own time.
  EXPECT_TRUE(Eventually([&] { return Logged("DEBUG encoder pump started (async=1, events=1)"); }))
      << sink_.Text();
  EXPECT_TRUE(Logged("INFO  encoder ready: Fake Hardware H.264 (hardware)")) << sink_.Text();
  UINT32 unlocked = 0;
  EXPECT_EQ(hardware.attributes->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked), S_OK);
  EXPECT_EQ(unlocked, 1u);
  UINT32 lowLatency = 0;
  EXPECT_EQ(hardware.attributes->GetUINT32(CODECAPI_AVLowLatencyMode, &lowLatency), S_OK);
  EXPECT_EQ(lowLatency, 1u);
  const std::lock_guard<std::mutex> lock(hardware.mutex);
  EXPECT_NE(hardware.d3dManager, 0u);
  ASSERT_GE(hardware.messages.size(), 3u);
  EXPECT_EQ(hardware.messages[0], MFT_MESSAGE_SET_D3D_MANAGER);
  EXPECT_EQ(hardware.messages[1], MFT_MESSAGE_NOTIFY_BEGIN_STREAMING);
  EXPECT_EQ(hardware.messages[2], MFT_MESSAGE_NOTIFY_START_OF_STREAM);
}

// The events come through BeginGetEvent's callback, never by polling; a
// device removed under the encoder (MEError with that status) ends the
// stream, and the rebuild on the new device takes the same hardware
// encoder again.
TEST_F(EncoderFakesTest, EventsComeByCallbackAndALostDeviceKeepsTheHardwareEncoder) {
  hardware_.async = true;
  hardware_.events = {MEError};
  hardware_.eventStatuses = {DXGI_ERROR_DEVICE_REMOVED};
  catalogue_.hardware = {{L"Fake Hardware H.264", &hardware_}};
  catalogue_.software = {{L"Fake Software H.264", &software_}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  ASSERT_TRUE(Eventually([&] { return !encoder_->running(); })) << sink_.Text();
  EXPECT_EQ(encoder_->failure(), DXGI_ERROR_DEVICE_REMOVED);
  encoder_->Shutdown();
  {
    const std::lock_guard<std::mutex> lock(hardware_.mutex);
    EXPECT_EQ(hardware_.getEventCalls, 0);
    EXPECT_EQ(hardware_.beginGetEventCalls, 1);  // none after MEError
    hardware_.shutDown = false;
  }
  ASSERT_EQ(encoder_->Open(graphics_, config_, nullptr), status::kSOk) << sink_.Text();
  EXPECT_EQ(encoder_->name(), "Fake Hardware H.264");
  EXPECT_TRUE(Logged("INFO  encoder Fake Hardware H.264 lost its device")) << sink_.Text();
}

// A hardware encoder without the device could not read the textures it
// would be fed: it is skipped and shut down through its activation object,
// and so is the chosen one when the encoder closes.
TEST_F(EncoderFakesTest, AHardwareEncoderRefusingTheDeviceManagerIsSkipped) {
  hardware_.async = true;
  hardware_.d3dManagerResult = E_NOTIMPL;
  catalogue_.hardware = {{L"Fake Hardware H.264", &hardware_}};
  catalogue_.software = {{L"Fake Software H.264", &software_}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_TRUE(
      Logged("WARN  hardware encoder Fake Hardware H.264 refused the D3D manager "
             "(0x80004001"))
      << sink_.Text();
  EXPECT_TRUE(Logged("INFO  encoder ready: Fake Software H.264 (software)")) << sink_.Text();
  EXPECT_EQ(catalogue_.shutdownObjects, 1);
  encoder_->Shutdown();
  EXPECT_EQ(catalogue_.shutdownObjects, 2);
}

// Only the encoders of the adapter the devices are on are listed, through
// MFTEnum2 with that adapter's LUID; without MFTEnum2, MFTEnumEx lists all.
TEST_F(EncoderFakesTest, HardwareEncodersAreThoseOfTheContextsAdapter) {
  const std::uint64_t ours = graphics_.adapterLuid();
  FakeMftRecord& other = software_;  // a record that outlives the encoder
  other.async = true;
  hardware_.async = true;
  catalogue_.hardware = {{L"Other GPU H.264", &other, ours + 1},
                         {L"Our GPU H.264", &hardware_, ours}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_EQ(catalogue_.adapterLuids, std::vector<std::uint64_t>{ours});
  EXPECT_TRUE(Logged("INFO  encoder ready: Our GPU H.264 (hardware)")) << sink_.Text();
  encoder_->Shutdown();

  catalogue_.withEnum2 = false;
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_TRUE(Logged("INFO  encoder ready: Other GPU H.264 (hardware)")) << sink_.Text();
  EXPECT_EQ(catalogue_.adapterLuids.size(), 1u);
}

TEST_F(EncoderFakesTest, ASynchronousHardwareEncoderIsWarnedAbout) {
  FakeMftRecord& hardware = hardware_;
  catalogue_.hardware = {{L"Fake Hardware H.264", &hardware}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_TRUE(Logged("WARN  hardware MFT reports MF_TRANSFORM_ASYNC=0; event pump will idle\n"));
}

TEST_F(EncoderFakesTest, ShutdownEndsTheEventsWithoutAWarning) {
  FakeMftRecord& hardware = hardware_;
  hardware.async = true;
  catalogue_.hardware = {{L"Fake Hardware H.264", &hardware}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  encoder_->Shutdown();
  {
    const std::lock_guard<std::mutex> lock(hardware.mutex);
    EXPECT_TRUE(hardware.shutDown);
    const std::vector<MFT_MESSAGE_TYPE> tail(hardware.messages.end() - 3, hardware.messages.end());
    EXPECT_EQ(tail, (std::vector<MFT_MESSAGE_TYPE>{MFT_MESSAGE_COMMAND_FLUSH,
                                                   MFT_MESSAGE_NOTIFY_END_OF_STREAM,
                                                   MFT_MESSAGE_NOTIFY_END_STREAMING}));
  }
  EXPECT_FALSE(Logged("encoder GetEvent failed")) << sink_.Text();
  EXPECT_FALSE(encoder_->running());
}

TEST_F(EncoderFakesTest, AStreamChangeTakesTheFirstOfferedOutputType) {
  FakeMftRecord& software = software_;
  software.outputs.push_back(FakeEncodedOutput{MF_E_TRANSFORM_STREAM_CHANGE, {}});
  catalogue_.software = {{L"Fake", &software}};
  config_.preferHardware = false;
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  // A synchronous transform is drained by the pump on every pass.
  EXPECT_TRUE(Eventually([&] {
    const std::lock_guard<std::mutex> lock(software.mutex);
    return software.outputTypes.size() == 2;
  }));
  encoder_->Shutdown();
  const std::lock_guard<std::mutex> lock(software.mutex);
  EXPECT_EQ(software.availableTypeCalls, 1);
  EXPECT_FALSE(Logged("ProcessOutput failed")) << sink_.Text();
}

TEST_F(EncoderFakesTest, OutputsInOurOwnOrInTheTransformsSamplesReachTheCallback) {
  const std::vector<std::uint8_t> idr = {0, 0,    0, 1, 0x67, 1, 0,    0, 0,
                                         1, 0x68, 2, 0, 0,    1, 0x65, 3};
  const std::vector<std::uint8_t> slice = {0, 0, 1, 0x41, 9, 9};
  for (const DWORD flags : {DWORD{0}, DWORD{MFT_OUTPUT_STREAM_PROVIDES_SAMPLES}}) {
    FakeMftRecord& software = software_;
    software.outputStreamFlags = flags;
    software.outputBufferSize = flags == 0 ? 64 : 0;
    software.outputs = {FakeEncodedOutput{S_OK, idr}, FakeEncodedOutput{S_OK, slice}};
    catalogue_.software = {{L"Fake", &software}};
    config_.preferHardware = false;
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> units;
    std::vector<bool> keyframes;
    ASSERT_EQ(Open([&](const EncodedFrame& frame) {
                const std::lock_guard<std::mutex> lock(mutex);
                units.emplace_back(frame.data, frame.data + frame.size);
                keyframes.push_back(frame.keyframe);
              }),
              status::kSOk)
        << sink_.Text();
    EXPECT_TRUE(Eventually([&] {
      const std::lock_guard<std::mutex> lock(mutex);
      return units.size() == 2;
    }));
    encoder_->Shutdown();
    ASSERT_EQ(units.size(), 2u) << "flags " << flags;
    EXPECT_EQ(units[0], idr);
    EXPECT_EQ(units[1], slice);
    EXPECT_EQ(keyframes, (std::vector<bool>{true, false}));
    EXPECT_TRUE(Logged("DEBUG SPS/PPS extracted from first IDR (12 bytes)")) << sink_.Text();
  }
}

TEST_F(EncoderFakesTest, SharedSurfacesNeedAnEncoderAndRefuseAnEmptyHandle) {
  FakeMftRecord& software = software_;
  catalogue_.software = {{L"Fake", &software}};
  ASSERT_EQ(Open(), status::kSOk) << sink_.Text();
  EXPECT_EQ(encoder_->OpenSharedSurfaces({nullptr}, 64, 64), status::kEInvalidArg);
}

}  // namespace
}  // namespace veyra
