#pragma once
// The benchmark receiver's picture path: libavcodec's H.264 decoder, low
// delay and one thread (frame threads would hold pictures back), and the
// BGRA conversion a renderer would do.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/base/clock.h"

namespace veyra {

class PictureDecoder {
 public:
  bool Open() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) return false;
    context_ = avcodec_alloc_context3(codec);
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context_->thread_count = 1;
    picture_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    return avcodec_open2(context_, codec, nullptr) == 0;
  }

  ~PictureDecoder() {
    sws_freeContext(scaler_);
    av_packet_free(&packet_);
    av_frame_free(&picture_);
    avcodec_free_context(&context_);
  }

  // Decodes one access unit (after |configData|, when there is one); fills
  // |decodedUs| and |presentedUs| when a picture came out.
  void Decode(const std::vector<std::uint8_t>& configData, std::vector<std::uint8_t>& unit,
              std::uint64_t* decodedUs, std::uint64_t* presentedUs) {
    if (!configData.empty()) unit.insert(unit.begin(), configData.begin(), configData.end());
    if (av_new_packet(packet_, static_cast<int>(unit.size())) != 0) return;
    std::memcpy(packet_->data, unit.data(), unit.size());
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (sent < 0) {
      ++errors_;
      return;
    }
    if (avcodec_receive_frame(context_, picture_) != 0) {
      ++errors_;
      return;
    }
    *decodedUs = NowUs();
    Present();
    *presentedUs = NowUs();
    width_ = picture_->width;
    height_ = picture_->height;
    av_frame_unref(picture_);
  }

  int errors() const { return errors_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  void Present() {
    scaler_ = sws_getCachedContext(
        scaler_, picture_->width, picture_->height, static_cast<AVPixelFormat>(picture_->format),
        picture_->width, picture_->height, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return;
    screen_.resize(static_cast<std::size_t>(picture_->width) * picture_->height * 4);
    std::uint8_t* planes[1] = {screen_.data()};
    const int strides[1] = {picture_->width * 4};
    sws_scale(scaler_, picture_->data, picture_->linesize, 0, picture_->height, planes, strides);
  }

  AVCodecContext* context_ = nullptr;
  AVFrame* picture_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::vector<std::uint8_t> screen_;
  int errors_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace veyra
