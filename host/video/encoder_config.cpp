#include "host/video/encoder_config.h"

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
      // Half a second of data: enough for a key frame at screen-content
      // rates without letting the receiver's delay grow beyond that.
      {CodecProperty::kBufferSize, false, config.bitrate / 2, "BufferSize"},
  };
}

CodecSetting MeanBitRateSetting(std::uint32_t bitsPerSecond) {
  return {CodecProperty::kMeanBitRate, false, bitsPerSecond, "MeanBitRate"};
}

SampleTiming SampleTimingOf(std::uint64_t frameId, std::uint32_t fps) {
  constexpr std::int64_t kHundredNsPerSecond = 10000000;
  const std::int64_t duration = kHundredNsPerSecond / (fps == 0 ? 60 : fps);
  return {static_cast<std::int64_t>(frameId) * duration, duration};
}

CodecSetting ForceKeyFrameSetting() {
  return {CodecProperty::kForceKeyFrame, false, 1, "ForceKeyFrame"};
}

}  // namespace veyra
