// The Direct3D 11 video processor and Media Foundation as Wine has them:
// no video device and no H.264 encoder, so both fail cleanly.
#include <gtest/gtest.h>

#include <string>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"
#include "host/video/color_converter.h"
#include "host/video/video_encoder.h"

namespace veyra {
namespace {

class VideoUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogLevel::Debug);
    ASSERT_EQ(graphics_.Init(0), status::kSOk) << log_;
  }
  void TearDown() override { SetLogThreshold(LogLevel::Info); }
  bool Logged(const std::string& text) const { return log_.find(text) != std::string::npos; }

  std::string log_;
  RecordingLogSink sink_{&log_};
  GraphicsContext graphics_;
};

TEST_F(VideoUnderWineTest, ConverterWithoutAVideoDeviceBuildsNoPool) {
  ColorConverter converter;
  EXPECT_EQ(converter.Init(graphics_, 1920, 1080, 1921, 1081), status::kENoInterface);
  EXPECT_TRUE(Logged("ERROR ID3D11VideoDevice query failed: 0x80004002")) << log_;
  EXPECT_TRUE(converter.pool().empty());
  EXPECT_TRUE(converter.SharedHandles().empty());
  Texture output;
  std::size_t slot = 0;
  EXPECT_EQ(converter.Convert(Texture{}, &output, &slot), status::kInvalidStateHresult);
  converter.Shutdown();
  EXPECT_TRUE(converter.pool().empty());
}

TEST_F(VideoUnderWineTest, ShutdownOfANeverInitialisedConverterLeavesItEmpty) {
  const std::size_t logged = log_.size();
  ColorConverter converter;
  converter.Shutdown();
  EXPECT_TRUE(converter.pool().empty());
  EXPECT_EQ(converter.OutputWidth(), 0u);
  EXPECT_EQ(log_.size(), logged) << log_;
}

TEST_F(VideoUnderWineTest, MediaFoundationStartsButHasNoH264EncoderOfEitherKind) {
  VideoEncoder encoder;
  EncoderConfig config;
  config.width = 1920;
  config.height = 1080;
  config.fps = 60;
  config.bitrate = 12000000;
  config.gop = 120;
  EXPECT_EQ(encoder.Open(graphics_, config, nullptr), status::kMfETopoCodecNotFound);
  EXPECT_FALSE(Logged("MFStartup failed")) << log_;
  EXPECT_TRUE(Logged("WARN  no hardware H.264 encoder; falling back to software\n")) << log_;
  EXPECT_TRUE(Logged("ERROR encoder selection failed: 0xC00D5212")) << log_;
  EXPECT_FALSE(encoder.running());
  encoder.Shutdown();
}

}  // namespace
}  // namespace veyra
