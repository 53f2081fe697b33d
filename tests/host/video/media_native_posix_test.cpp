// The native back end for real: libswscale converts, libavcodec (libx264
// here, as no hardware encoder opens on a machine without a GPU) encodes,
// and libavcodec's H.264 decoder checks the stream.

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/base/clock.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/synthetic_source.h"
#include "host/capture/texture_storage_posix.h"
#include "host/video/color_converter.h"
#include "host/video/nal_units.h"
#include "host/video/video_encoder.h"

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Predicate>
bool WaitUntil(Predicate done) {
  for (int i = 0; i < 20000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// A clock that jumps to each deadline, so the synthetic source never sleeps.
class JumpingClock final : public PacingClock {
 public:
  std::uint64_t NowUs() override { return nowUs; }
  void SleepUs(std::uint64_t us) override { nowUs += us; }
  std::uint64_t nowUs = 0;
};

struct Yuv {
  int y, cb, cr;
};

Yuv Nv12At(const Texture& texture, std::uint32_t x, std::uint32_t y) {
  TextureStorage& storage = StorageOf(texture);
  const std::uint8_t* luma = storage.Plane(texture.height, 0);
  const std::uint8_t* chroma = storage.Plane(texture.height, 1);
  const std::size_t c = (y / 2) * storage.pitch + (x & ~1u);
  return {luma[y * storage.pitch + x], chroma[c], chroma[c + 1]};
}

void ExpectNear(const Yuv& actual, const Yuv& expected) {
  EXPECT_NEAR(actual.y, expected.y, 1);
  EXPECT_NEAR(actual.cb, expected.cb, 1);
  EXPECT_NEAR(actual.cr, expected.cr, 1);
}

class NativeMediaTest : public testing::Test {
 protected:
  NativeMediaTest() { EXPECT_EQ(graphics_.Init(0), status::kSOk); }

  void OpenPipeline(std::uint32_t width, std::uint32_t height, std::uint32_t bitrate,
                    std::uint32_t fps) {
    ASSERT_EQ(converter_.Init(graphics_, width, height, width, height), status::kSOk);
    EncoderConfig config;
    config.width = width;
    config.height = height;
    config.fps = fps;
    config.bitrate = bitrate;
    config.gop = 120;
    config.preferHardware = true;
    ASSERT_EQ(encoder_.Open(graphics_, config,
                            [this](const EncodedFrame& frame) {
                              const std::lock_guard<std::mutex> lock(mutex_);
                              units_.emplace_back(frame.data, frame.data + frame.size);
                              keyframes_.push_back(frame.keyframe);
                              ids_.push_back(frame.frameId);
                              if (header_.empty()) header_ = encoder_.sequenceHeader();
                            }),
              status::kSOk);
    ASSERT_EQ(encoder_.OpenSharedSurfaces(converter_.SharedHandles(), width, height), status::kSOk);
  }

  std::size_t Outputs() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return units_.size();
  }

  // One pass of the capture loop, then a wait for its access unit.
  void EncodeOne(const Texture& bgra, std::uint64_t frameId, bool keyframe = false) {
    Texture nv12;
    std::size_t slot = 0;
    ASSERT_EQ(converter_.Convert(bgra, &nv12, &slot), status::kSOk);
    converter_.WaitForSlot(slot);
    if (keyframe) encoder_.RequestKeyframe();
    const std::size_t before = Outputs();
    ASSERT_EQ(encoder_.PostFrame(slot, frameId, NowUs()), PostResult::kAccepted);
    ASSERT_TRUE(WaitUntil([&] { return Outputs() > before; })) << "frame " << frameId;
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  GraphicsContext graphics_;
  ColorConverter converter_;
  VideoEncoder encoder_;
  std::mutex mutex_;
  std::vector<Bytes> units_;
  std::vector<bool> keyframes_;
  std::vector<std::uint64_t> ids_;
  Bytes header_;
};

TEST_F(NativeMediaTest, WhiteAndBlackBecomeLimitedRangeBt709) {
  JumpingClock clock;
  SyntheticSource source(graphics_, 320, 240, 60, &clock);
  ASSERT_EQ(source.Open(), status::kSOk);
  CapturedFrame frame;
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);
  ASSERT_EQ(converter_.Init(graphics_, 320, 240, 320, 240), status::kSOk);
  Texture nv12;
  std::size_t slot = 0;
  ASSERT_EQ(converter_.Convert(frame.texture, &nv12, &slot), status::kSOk);
  ASSERT_EQ(nv12.format, PixelFormat::kNv12);
  ExpectNear(Nv12At(nv12, 40, 100), {235, 128, 128});  // inside the band
  ExpectNear(Nv12At(nv12, 250, 100), {16, 128, 128});  // never drawn
}

TEST_F(NativeMediaTest, RedUsesTheBt709Matrix) {
  Texture red;
  ASSERT_EQ(graphics_.CreateTexture(64, 64, PixelFormat::kBgra, &red), status::kSOk);
  Bytes& bytes = StorageOf(red).bytes;
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    bytes[i + 2] = 255;
    bytes[i + 3] = 255;
  }
  ASSERT_EQ(converter_.Init(graphics_, 64, 64, 32, 32), status::kSOk);
  Texture nv12;
  std::size_t slot = 0;
  ASSERT_EQ(converter_.Convert(red, &nv12, &slot), status::kSOk);
  EXPECT_EQ(nv12.width, 32u);
  // BT.709: Y = 16 + 219 * 0.2126, Cb = 128 - 112 * 0.2126 / 0.9278, Cr = 240.
  // (BT.601 would give Y = 81.)
  ExpectNear(Nv12At(nv12, 10, 10), {63, 102, 240});
}

TEST_F(NativeMediaTest, SyntheticFramesBecomeADecodableStreamWithIdrOnRequest) {
  OpenPipeline(320, 240, 1000000, 60);
  JumpingClock clock;
  SyntheticSource source(graphics_, 320, 240, 60, &clock);
  ASSERT_EQ(source.Open(), status::kSOk);
  for (std::uint64_t id = 1; id <= 120; ++id) {
    CapturedFrame frame;
    ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);
    EncodeOne(frame.texture, id, id == 61);
  }
  encoder_.Shutdown();

  ASSERT_EQ(units_.size(), 120u);
  EXPECT_TRUE(keyframes_[0]);
  EXPECT_TRUE(keyframes_[60]);
  int keyframeCount = 0;
  for (const bool key : keyframes_) keyframeCount += key ? 1 : 0;
  EXPECT_EQ(keyframeCount, 2);
  EXPECT_EQ(ids_[0], 1u);
  EXPECT_EQ(ids_[119], 120u);

  const std::vector<NalUnit> headerUnits = ScanNalUnits(header_);
  ASSERT_EQ(headerUnits.size(), 2u);
  EXPECT_EQ(headerUnits[0].type, kNalTypeSps);
  EXPECT_EQ(headerUnits[0].startCodeLength, 4u);
  EXPECT_EQ(headerUnits[1].type, kNalTypePps);
  EXPECT_EQ(headerUnits[1].startCodeLength, 4u);
  // Known before the first frame, and what the stream's own SPS says.
  ASSERT_TRUE(SpsLevelName(header_).has_value());
  EXPECT_EQ(SpsLevelName(header_), SpsLevelName(units_[0]));

  const AVCodec* h264 = avcodec_find_decoder(AV_CODEC_ID_H264);
  ASSERT_NE(h264, nullptr);
  AVCodecContext* decoder = avcodec_alloc_context3(h264);
  ASSERT_EQ(avcodec_open2(decoder, h264, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* picture = av_frame_alloc();
  int decoded = 0;
  auto receive = [&] {
    while (avcodec_receive_frame(decoder, picture) == 0) {
      EXPECT_EQ(picture->width, 320);
      EXPECT_EQ(picture->height, 240);
      ++decoded;
    }
  };
  for (Bytes& unit : units_) {
    packet->data = unit.data();
    packet->size = static_cast<int>(unit.size());
    ASSERT_EQ(avcodec_send_packet(decoder, packet), 0);
    receive();
  }
  avcodec_send_packet(decoder, nullptr);
  receive();
  EXPECT_EQ(decoded, 120);
  av_frame_free(&picture);
  packet->data = nullptr;
  packet->size = 0;
  av_packet_free(&packet);
  avcodec_free_context(&decoder);

  const std::string text = sink_.Text();
  EXPECT_NE(text.find("no hardware H.264 encoder; falling back to software"), std::string::npos);
  EXPECT_NE(text.find("encoder ready: libx264 (software), 320x240@60 1000 kbps"),
            std::string::npos);
}

TEST_F(NativeMediaTest, QuarterBitrateShrinksTheFramesThatFollow) {
  constexpr std::uint32_t kFps = 30;
  OpenPipeline(320, 240, 2000000, kFps);
  Texture noise;
  ASSERT_EQ(graphics_.CreateTexture(320, 240, PixelFormat::kBgra, &noise), status::kSOk);
  std::mt19937 random(7);
  auto bytesOf = [&](std::size_t from, std::size_t to) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::size_t total = 0;
    for (std::size_t i = from; i < to; ++i) total += units_[i].size();
    return total;
  };
  std::uint64_t id = 0;
  for (int i = 0; i < 90; ++i) {
    for (std::uint8_t& b : StorageOf(noise).bytes) b = static_cast<std::uint8_t>(random());
    EncodeOne(noise, ++id);
  }
  encoder_.SetBitrate(500000);
  for (int i = 0; i < 90; ++i) {
    for (std::uint8_t& b : StorageOf(noise).bytes) b = static_cast<std::uint8_t>(random());
    EncodeOne(noise, ++id);
  }
  // Two seconds at each rate, after the rate control settled on it.
  const double before = static_cast<double>(bytesOf(30, 90)) * 8 * kFps / 60;
  const double after = static_cast<double>(bytesOf(120, 180)) * 8 * kFps / 60;
  std::printf("bits per second: %.0f at 2 Mbit/s, %.0f at 500 kbit/s\n", before, after);
  EXPECT_LT(after, before * 0.5);
  EXPECT_LT(after, 500000 * 1.5);
  EXPECT_NE(sink_.Text().find("bitrate -> 500 kbps"), std::string::npos);
}

}  // namespace
}  // namespace veyra
