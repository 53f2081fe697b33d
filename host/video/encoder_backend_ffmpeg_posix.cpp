// The native encoder back end: libavcodec's H.264 encoders, hardware ones
// first, libx264 as the software fallback, configured from the same
// low-latency settings as the Media Foundation transforms.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/video/encoder_backend.h"
#include "host/video/encoder_transform.h"
#include "host/video/ffmpeg_transform_posix.h"
#include "host/video/nal_units.h"

namespace veyra {
namespace {

// Tried in order. VA-API and Quick Sync need a device set up before open
// and are not in the list yet.
constexpr const char* kHardwareEncoders[] = {"h264_nvenc"};
constexpr const char* kSoftwareEncoders[] = {"libx264"};
// The HRD buffer libx264 gets, in frames' shares of the rate.
constexpr std::uint64_t kX264BufferFrames = 3;

// libavcodec's own messages (a missing CUDA driver, x264's banner) go to
// the host's log at DEBUG instead of straight to standard error.
void ForwardLibavLog(void* context, int level, const char* format, std::va_list args) {
  if (level > AV_LOG_WARNING) return;
  char line[512];
  int prefix = 1;
  av_log_format_line2(context, level, format, args, line, sizeof line, &prefix);
  std::size_t length = std::strlen(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
    line[--length] = '\0';
  }
  Log(LogLevel::Debug, "libavcodec: %s", line);
}

void SetOption(AVCodecContext* context, const char* name, const char* value) {
  av_opt_set(context, name, value, AV_OPT_SEARCH_CHILDREN);
}

bool IsX264(const AVCodec* codec) { return std::strcmp(codec->name, "libx264") == 0; }

void Configure(AVCodecContext* context, const AVCodec* codec, const EncoderConfig& config) {
  const int fps = static_cast<int>(FrameRate(config));
  context->width = static_cast<int>(config.width);
  context->height = static_cast<int>(config.height);
  context->pix_fmt = AV_PIX_FMT_NV12;
  context->time_base = AVRational{1, fps};
  context->framerate = AVRational{fps, 1};
  context->sample_aspect_ratio = AVRational{1, 1};
  context->profile = FF_PROFILE_H264_HIGH;
  context->colorspace = AVCOL_SPC_BT709;
  context->color_primaries = AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_BT709;
  context->color_range = AVCOL_RANGE_MPEG;
  SetOption(context, "profile", "high");
  // A requested key frame must be an IDR picture, not just an I picture.
  av_opt_set_int(context, "forced-idr", 1, AV_OPT_SEARCH_CHILDREN);
  const bool x264 = IsX264(codec);
  for (const CodecSetting& setting : LowLatencySettings(config)) {
    switch (setting.property) {
      case CodecProperty::kLowLatencyMode:
      case CodecProperty::kCommonLowLatency:
        context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (x264) {
          SetOption(context, "tune", "zerolatency");
        } else {
          av_opt_set_int(context, "zerolatency", 1, AV_OPT_SEARCH_CHILDREN);
          av_opt_set_int(context, "delay", 0, AV_OPT_SEARCH_CHILDREN);
        }
        break;
      case CodecProperty::kBPictureCount:
        context->max_b_frames = static_cast<int>(setting.value);
        break;
      case CodecProperty::kMaxNumRefFrame:
        context->refs = static_cast<int>(setting.value);
        break;
      case CodecProperty::kRateControlMode:
        // x264 has no strict CBR without filler data; a VBV capped at the
        // mean rate (below) keeps it at or under the rate, which is what
        // the receiver's link needs.
        if (!x264) SetOption(context, "rc", "cbr");
        break;
      case CodecProperty::kMeanBitRate:
        context->bit_rate = setting.value;
        context->rc_max_rate = setting.value;
        break;
      case CodecProperty::kGopSize:
        context->gop_size = static_cast<int>(setting.value);
        break;
      case CodecProperty::kQualityVsSpeed:
        SetOption(context, "preset", x264 ? "ultrafast" : "p1");
        break;
      case CodecProperty::kRealTime:
        av_opt_set_int(context, "rc-lookahead", 0, AV_OPT_SEARCH_CHILDREN);
        break;
      case CodecProperty::kBufferSize:  // libavcodec counts bits
        // x264's rate control, held to a buffer of one frame, spends only
        // about 84 % of its rate on busy content (measured with the link
        // benchmark); with kX264BufferFrames it spends 95-99 % for a
        // millisecond or two of delay.
        context->rc_buffer_size = static_cast<int>(std::min<std::uint64_t>(
            std::uint64_t{setting.value} * 8 * (x264 ? kX264BufferFrames : 1),
            std::numeric_limits<int>::max()));
        break;
      case CodecProperty::kForceKeyFrame:
        break;
    }
  }
}

// The SPS and PPS an encoder opened with |config| writes, from a twin
// opened with global headers: libavcodec hands them out before the first
// frame only then, and the twin, set up alike, chooses the same ones. The
// stream itself keeps its in-band parameter sets. Empty when the twin
// cannot say.
std::vector<std::uint8_t> ParameterSets(const AVCodec* codec, const EncoderConfig& config) {
  CodecContextPtr twin(avcodec_alloc_context3(codec));
  if (!twin) return {};
  Configure(twin.get(), codec, config);
  twin->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(twin.get(), codec, nullptr) < 0 || twin->extradata == nullptr ||
      twin->extradata_size <= 0) {
    return {};
  }
  const std::span<const std::uint8_t> bytes(twin->extradata,
                                            static_cast<std::size_t>(twin->extradata_size));
  return ExtractSequenceHeader(bytes, ScanNalUnits(bytes));
}

class FfmpegBackend final : public EncoderBackend {
 public:
  FfmpegBackend() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(ForwardLibavLog); });
  }

  std::int32_t Startup() override { return status::kSOk; }
  void Cleanup() override {}

  std::int32_t SelectEncoder(GraphicsContext& /*graphics*/, bool hardware,
                             const EncoderConfig& config,
                             std::unique_ptr<EncoderTransform>* transform,
                             std::size_t* next) override {
    const std::span<const char* const> names =
        hardware ? std::span<const char* const>(kHardwareEncoders)
                 : std::span<const char* const>(kSoftwareEncoders);
    std::int32_t result = status::kMfETopoCodecNotFound;
    for (; *next < names.size(); ++*next) {
      const char* name = names[*next];
      const AVCodec* codec = avcodec_find_encoder_by_name(name);
      if (codec == nullptr) {
        Log(LogLevel::Debug, "encoder %s is not in this libavcodec; skipped", name);
        continue;
      }
      CodecContextPtr context(avcodec_alloc_context3(codec));
      if (!context) {
        result = status::kEOutOfMemory;
        continue;
      }
      Configure(context.get(), codec, config);
      const int opened = avcodec_open2(context.get(), codec, nullptr);
      if (opened < 0) {
        char reason[128];
        av_strerror(opened, reason, sizeof reason);
        Log(LogLevel::Debug, "encoder %s did not open (%s); skipped", name, reason);
        result = status::kEFail;
        continue;
      }
      *transform =
          std::make_unique<FfmpegTransform>(name, std::move(context), ParameterSets(codec, config));
      ++*next;
      return status::kSOk;
    }
    return result;
  }
};

}  // namespace

std::unique_ptr<EncoderBackend> CreatePlatformEncoderBackend() {
  return std::make_unique<FfmpegBackend>();
}

}  // namespace veyra
