#include "host/video/ffmpeg_transform_posix.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/texture_storage_posix.h"
#include "host/video/shared_surface_posix.h"

namespace veyra {

void CodecContextFree::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void FrameFree::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void PacketFree::operator()(AVPacket* packet) const { av_packet_free(&packet); }

FfmpegTransform::FfmpegTransform(std::string name, CodecContextPtr context,
                                 std::vector<std::uint8_t> parameterSets)
    : name_(std::move(name)),
      context_(std::move(context)),
      parameterSets_(std::move(parameterSets)) {
  bitrate_ = static_cast<std::uint32_t>(context_->bit_rate);
  bufferSeconds_ = context_->bit_rate > 0 ? static_cast<double>(context_->rc_buffer_size) /
                                                static_cast<double>(context_->bit_rate)
                                          : 0.0;
}

FfmpegTransform::~FfmpegTransform() = default;

std::int32_t FfmpegTransform::Configure(const EncoderConfig& config, const char** failedStep) {
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!frame_ || !packet_) {
    *failedStep = "media types";
    return status::kEOutOfMemory;
  }
  frame_->format = AV_PIX_FMT_NV12;
  frame_->width = static_cast<int>(config.width);
  frame_->height = static_cast<int>(config.height);
  if (av_frame_get_buffer(frame_.get(), 0) < 0) {
    *failedStep = "media types";
    return status::kEOutOfMemory;
  }
  return status::kSOk;
}

std::int32_t FfmpegTransform::ApplySetting(const CodecSetting& setting) {
  switch (setting.property) {
    case CodecProperty::kMeanBitRate:
      bitrate_ = setting.value;
      return status::kSOk;
    case CodecProperty::kForceKeyFrame:
      forceKeyframe_ = true;
      return status::kSOk;
    default:
      // libavcodec takes the other settings only before the encoder opens;
      // the back end applied them then.
      return status::kSOk;
  }
}

std::int32_t FfmpegTransform::ProcessMessage(TransformMessage message) {
  switch (message) {
    case TransformMessage::kStartOfStream:
      PushEvent(kEventNeedInput);
      break;
    case TransformMessage::kCommandFlush:
      outputs_.clear();
      break;
    default:
      break;
  }
  return status::kSOk;
}

std::int32_t FfmpegTransform::OpenSurface(std::size_t slot, SharedHandle handle,
                                          std::uint32_t width, std::uint32_t height,
                                          std::shared_ptr<KeyedMutex>* keyedMutex) {
  const SharedSurface* shared = SurfaceOf(handle);
  if (!shared->texture || shared->texture.format != PixelFormat::kNv12 ||
      shared->texture.width != width || shared->texture.height != height ||
      width != static_cast<std::uint32_t>(frame_->width) ||
      height != static_cast<std::uint32_t>(frame_->height)) {
    Log(LogLevel::Error, "%s failed: %s", "OpenSharedResource1(NV12)",
        HresultText(status::kEInvalidArg).c_str());
    return status::kEInvalidArg;
  }
  if (surfaces_.size() <= slot) surfaces_.resize(slot + 1);
  surfaces_[slot] = shared->texture;
  *keyedMutex = shared->lock;
  return status::kSOk;
}

void FfmpegTransform::PushEvent(std::uint32_t type) {
  const std::lock_guard<std::mutex> lock(eventsMutex_);
  events_.push_back(type);
}

std::int32_t FfmpegTransform::GetEvent(std::uint32_t* type, bool* typeKnown,
                                       std::int32_t* eventStatus) {
  *eventStatus = status::kSOk;
  const std::lock_guard<std::mutex> lock(eventsMutex_);
  if (shutdown_) return status::kMfEShutdown;
  if (events_.empty()) return status::kMfENoEventsAvailable;
  *type = events_.front();
  *typeKnown = true;
  events_.pop_front();
  return status::kSOk;
}

std::int32_t FfmpegTransform::GetInputStatus(bool* acceptsData) {
  *acceptsData = true;
  return status::kSOk;
}

std::int32_t FfmpegTransform::CopySurface(std::size_t slot) {
  if (slot >= surfaces_.size() || !surfaces_[slot]) return status::kInvalidStateHresult;
  // The encoder may still reference the last frame's buffers.
  if (av_frame_make_writable(frame_.get()) < 0) return status::kEOutOfMemory;
  TextureStorage& source = StorageOf(surfaces_[slot]);
  const auto height = static_cast<std::uint32_t>(frame_->height);
  const auto width = static_cast<std::size_t>(frame_->width);
  for (int plane = 0; plane < 2; ++plane) {
    const std::uint8_t* from = source.Plane(height, plane);
    const std::uint32_t rows = plane == 0 ? height : height / 2;
    for (std::uint32_t y = 0; y < rows; ++y) {
      std::memcpy(frame_->data[plane] + static_cast<std::size_t>(y) * frame_->linesize[plane],
                  from + static_cast<std::size_t>(y) * source.pitch, width);
    }
  }
  return status::kSOk;
}

std::int32_t FfmpegTransform::MakeSample(std::size_t /*slot*/, std::uint64_t frameId) {
  frame_->pts = static_cast<std::int64_t>(frameId);
  frame_->pict_type = forceKeyframe_.exchange(false) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  const std::int64_t bitrate = bitrate_.load();
  if (bitrate > 0 && bitrate != context_->bit_rate) {
    // libx264 and NVENC reconfigure their rate control when these change
    // between frames. The buffer keeps its length in time: sized for the
    // opening rate, it would hold several times a frame's delay once the
    // link has forced the rate down.
    if (bufferSeconds_ > 0.0) {
      const double bits = bufferSeconds_ * static_cast<double>(bitrate);
      context_->rc_buffer_size =
          static_cast<int>(std::clamp(bits, 1.0, double{std::numeric_limits<int>::max()}));
    }
    context_->bit_rate = bitrate;
    context_->rc_max_rate = bitrate;
  }
  return status::kSOk;
}

std::int32_t FfmpegTransform::ProcessInput() {
  const int sent = avcodec_send_frame(context_.get(), frame_.get());
  if (sent < 0) {
    Log(LogLevel::Debug, "avcodec_send_frame: error %d", sent);
    return status::kEFail;
  }
  for (;;) {
    const int received = avcodec_receive_packet(context_.get(), packet_.get());
    if (received < 0) break;  // EAGAIN: it wants the next frame
    outputs_.push_back(
        Output{std::vector<std::uint8_t>(packet_->data, packet_->data + packet_->size),
               static_cast<std::uint64_t>(std::max<std::int64_t>(packet_->pts, 0))});
    av_packet_unref(packet_.get());
    PushEvent(kEventHaveOutput);
  }
  PushEvent(kEventNeedInput);
  return status::kSOk;
}

std::int32_t FfmpegTransform::ProcessOutput(std::vector<std::uint8_t>* accessUnit,
                                            OutputKind* kind) {
  lastOutputId_.reset();
  if (outputs_.empty()) return status::kMfETransformNeedMoreInput;
  accessUnit->swap(outputs_.front().bytes);
  lastOutputId_ = outputs_.front().frameId;
  outputs_.pop_front();
  *kind = OutputKind::kSample;
  return status::kSOk;
}

void FfmpegTransform::Shutdown() {
  const std::lock_guard<std::mutex> lock(eventsMutex_);
  shutdown_ = true;
  events_.clear();
}

}  // namespace veyra
