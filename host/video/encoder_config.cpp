#include "host/video/encoder_config.h"

#include <algorithm>

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
      // In bytes for H.264 ("AVEncCommonBufferSize property"): one frame's
      // share of the bit rate, so that the decoder's buffer never holds
      // more than a frame of delay; larger key frames are spread by the
      // rate control instead.
      {CodecProperty::kBufferSize, false,
       std::max<std::uint32_t>(1, config.bitrate / 8 / FrameRate(config)), "BufferSize"},
  };
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

CodecSetting ForceKeyFrameSetting() {
  return {CodecProperty::kForceKeyFrame, false, 1, "ForceKeyFrame"};
}

}  // namespace veyra
