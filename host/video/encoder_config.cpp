#include "host/video/encoder_config.h"

#include <algorithm>
#include <iterator>

namespace veyra {

std::vector<CodecSetting> LowLatencySettings(const EncoderConfig& config) {
  return {
      {CodecProperty::kLowLatencyMode, true, 1, "AVLowLatencyMode"},
      {CodecProperty::kCommonLowLatency, true, 1, "AVEncCommonLowLatency"},
      {CodecProperty::kBPictureCount, false, 0, "BPictureCount"},
      {CodecProperty::kMaxNumRefFrame, false, 1, "MaxNumRefFrame"},
      {CodecProperty::kRateControlMode, false, 0, "RateControlMode=CBR"},
      MeanBitRateSetting(config.bitrate),
      {CodecProperty::kGopSize, false, config.gop, "GOPSize"},
      {CodecProperty::kQualityVsSpeed, false, 0, "QualityVsSpeed"},
      {CodecProperty::kRealTime, true, 1, "RealTime"},
      BufferSizeSetting(config.bitrate, config),
  };
}

CodecSetting BufferSizeSetting(std::uint32_t bitsPerSecond, const EncoderConfig& config) {
  // In bytes for H.264 ("AVEncCommonBufferSize property"): one frame's share
  // of the bit rate, so that the decoder's buffer never holds more than a
  // frame of delay; larger key frames are spread by the rate control
  // instead.
  return {CodecProperty::kBufferSize, false,
          std::max<std::uint32_t>(1, bitsPerSecond / 8 / FrameRate(config)), "BufferSize"};
}

CodecSetting MeanBitRateSetting(std::uint32_t bitsPerSecond) {
  return {CodecProperty::kMeanBitRate, false, bitsPerSecond, "MeanBitRate"};
}

SampleTiming SampleTimingOf(std::uint64_t frameId, std::uint32_t fps) {
  constexpr std::int64_t kHundredNsPerSecond = 10000000;
  EncoderConfig config;
  config.fps = fps;
  const std::int64_t duration = kHundredNsPerSecond / FrameRate(config);
  return {static_cast<std::int64_t>(frameId) * duration, duration};
}

std::uint64_t FrameIdAt(std::int64_t time, std::uint32_t fps) {
  const std::int64_t duration = SampleTimingOf(0, fps).duration;
  return time < 0 ? 0 : static_cast<std::uint64_t>((time + duration / 2) / duration);
}

std::uint32_t MinimumLevelIdc(const EncoderConfig& config) {
  struct Limits {
    std::uint32_t levelIdc;
    std::uint64_t macroblocksPerSecond;
    std::uint64_t frameMacroblocks;
    std::uint64_t kilobitsPerSecond;  // for Baseline and Main; High allows 5/4
  };
  static constexpr Limits kLevels[] = {
      {10, 1485, 99, 64},
      {11, 3000, 396, 192},
      {12, 6000, 396, 384},
      {13, 11880, 396, 768},
      {20, 11880, 396, 2000},
      {21, 19800, 792, 4000},
      {22, 20250, 1620, 4000},
      {30, 40500, 1620, 10000},
      {31, 108000, 3600, 14000},
      {32, 216000, 5120, 20000},
      {40, 245760, 8192, 20000},
      {41, 245760, 8192, 50000},
      {42, 522240, 8704, 50000},
      {50, 589824, 22080, 135000},
      {51, 983040, 36864, 240000},
      {52, 2073600, 36864, 240000},
      {60, 4177920, 139264, 240000},
      {61, 8355840, 139264, 480000},
      {62, 16711680, 139264, 800000},
  };
  const std::uint64_t wide = (std::uint64_t{config.width} + 15) / 16;
  const std::uint64_t high = (std::uint64_t{config.height} + 15) / 16;
  const std::uint64_t frame = wide * high;
  const std::uint64_t perSecond = frame * FrameRate(config);
  const std::uint64_t peakBitrate = std::max(config.bitrate, config.maxBitrate);
  for (const Limits& level : kLevels) {
    // Neither side may pass sqrt(8 x MaxFS) macroblocks.
    const std::uint64_t side = 8 * level.frameMacroblocks;
    if (frame <= level.frameMacroblocks && perSecond <= level.macroblocksPerSecond &&
        wide * wide <= side && high * high <= side &&
        peakBitrate * 4 <= level.kilobitsPerSecond * 1000 * 5) {
      return level.levelIdc;
    }
  }
  return kLevels[std::size(kLevels) - 1].levelIdc;
}

CodecSetting ForceKeyFrameSetting() {
  return {CodecProperty::kForceKeyFrame, false, 1, "ForceKeyFrame"};
}

}  // namespace veyra
