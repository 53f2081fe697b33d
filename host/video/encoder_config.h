#pragma once

#include <cstdint>
#include <vector>

namespace veyra {

// What the encoder is opened with.
struct EncoderConfig {
  std::uint32_t width = 0;    // even
  std::uint32_t height = 0;   // even
  std::uint32_t fps = 60;     // 0 counts as 60 where a duration is derived
  std::uint32_t bitrate = 0;  // mean bits per second
  // The most the mean rate may be raised to while the encoder runs; 0 when
  // it stays at |bitrate|. The level is chosen for it, so that a stream
  // opened at a careful rate keeps to its level once the rate has climbed.
  std::uint32_t maxBitrate = 0;
  std::uint32_t gop = 0;  // key frame interval in frames
  bool preferHardware = true;
};

// One encoded access unit, handed to the output callback on the pump thread.
struct EncodedFrame {
  const std::uint8_t* data = nullptr;  // Annex B; valid only during the callback
  std::uint64_t size = 0;
  std::uint64_t frameId = 0;        // 0 when no submitted frame matches
  std::uint64_t captureTimeUs = 0;  // 0 in the same case
  std::uint64_t encodedTimeUs = 0;
  bool keyframe = false;  // holds an IDR slice
};

// The codec properties the host sets, named as the Windows codec API names
// them; each back end maps them to its own encoder's options.
enum class CodecProperty : std::uint8_t {
  kLowLatencyMode,
  kCommonLowLatency,
  kBPictureCount,
  kMaxNumRefFrame,
  kRateControlMode,  // 0: constant bit rate
  kMeanBitRate,
  kGopSize,
  kQualityVsSpeed,  // 0: fastest
  kRealTime,
  kBufferSize,  // bytes (the H.264 hypothetical reference decoder's)
  kForceKeyFrame,
};

struct CodecSetting {
  CodecProperty property;
  bool boolean;  // set as a boolean TRUE rather than a 32-bit value
  std::uint32_t value;
  const char* displayName;  // for the log
};

// Frames per second: the configured rate, 60 when it is 0, so that no
// media type or duration ever says 0 frames a second.
constexpr std::uint32_t FrameRate(const EncoderConfig& config) {
  return config.fps == 0 ? 60 : config.fps;
}

// The low-latency settings, in the order they are applied, all before the
// media types: no B pictures, one reference frame, constant bit rate with a
// buffer of about one frame, the key frame interval, fastest quality and
// real-time operation.
std::vector<CodecSetting> LowLatencySettings(const EncoderConfig& config);

// The mean bit rate setting that SetBitrate applies to a running encoder.
CodecSetting MeanBitRateSetting(std::uint32_t bitsPerSecond);
// The decoder buffer for a rate: one frame's share of it. Sent again with
// every new mean rate, so that a stream opened at a low rate is not held to
// a buffer far below a frame once the rate has climbed (a back end that
// sizes its buffer in time, as libavcodec's here does, takes no notice).
CodecSetting BufferSizeSetting(std::uint32_t bitsPerSecond, const EncoderConfig& config);

// The setting that makes the next picture an IDR picture.
CodecSetting ForceKeyFrameSetting();

// Where an input sample sits on the stream's time line, in 100-nanosecond
// units: one frame lasts 10 000 000 / fps (60 when fps is 0, integer
// division), and frame |frameId| starts frameId durations in. Frame ids
// grow by one per converted frame, so dropped frames leave gaps.
struct SampleTiming {
  std::int64_t time = 0;
  std::int64_t duration = 0;
};
SampleTiming SampleTimingOf(std::uint64_t frameId, std::uint32_t fps);

// The frame id whose sample starts nearest |time| (the inverse of
// SampleTimingOf); 0 for a negative time.
std::uint64_t FrameIdAt(std::int64_t time, std::uint32_t fps);

// The lowest H.264 level, as level_idc (ten times the level: 42 for 4.2),
// whose limits hold a High-profile stream of |config|: frame size and
// macroblocks a second, frame width and height, and bit rate, the higher of
// the rate and the most it may climb to (the standard's table of level
// limits). What an encoder left to choose picks;
// 62 when nothing smaller fits.
std::uint32_t MinimumLevelIdc(const EncoderConfig& config);

}  // namespace veyra
