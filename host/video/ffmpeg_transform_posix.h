#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/texture.h"
#include "host/video/encoder_transform.h"
#include "host/video/keyed_slot_lock.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace veyra {

struct CodecContextFree {
  void operator()(AVCodecContext* context) const;
};
struct FrameFree {
  void operator()(AVFrame* frame) const;
};
struct PacketFree {
  void operator()(AVPacket* packet) const;
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;

// An opened libavcodec H.264 encoder behind the transform interface. It
// behaves as an asynchronous transform: it asks for input with an event and
// announces each packet with another, so the pump runs the same event path
// natively as with a hardware encoder on Windows. libavcodec is synchronous
// underneath: each frame fed comes out as one packet at once (no B-frames,
// no look-ahead).
class FfmpegTransform final : public EncoderTransform {
 public:
  // |parameterSets|: the SPS and PPS the encoder writes, when known before
  // the first frame.
  FfmpegTransform(std::string name, CodecContextPtr context,
                  std::vector<std::uint8_t> parameterSets = {});
  ~FfmpegTransform() override;

  const std::string& name() const override { return name_; }
  bool async() const override { return true; }
  bool HasEvents() const override { return true; }
  std::int32_t Configure(const EncoderConfig& config, const char** failedStep) override;
  std::vector<std::uint8_t> SequenceHeaderOfType() override { return parameterSets_; }
  bool HasCodecApi() const override { return true; }
  std::int32_t ApplySetting(const CodecSetting& setting) override;
  std::int32_t ProcessMessage(TransformMessage message) override;
  std::int32_t OpenSurface(std::size_t slot, SharedHandle handle, std::uint32_t width,
                           std::uint32_t height, std::shared_ptr<KeyedMutex>* keyedMutex) override;
  std::int32_t GetEvent(std::uint32_t* type, bool* typeKnown, std::int32_t* eventStatus) override;
  std::int32_t GetInputStatus(bool* acceptsData) override;
  std::int32_t CopySurface(std::size_t slot) override;
  std::int32_t MakeSample(std::size_t slot, std::uint64_t frameId) override;
  std::int32_t ProcessInput() override;
  std::int32_t ProcessOutput(std::vector<std::uint8_t>* accessUnit, OutputKind* kind) override;
  std::optional<std::uint64_t> OutputFrameId() const override { return lastOutputId_; }
  std::int32_t RenegotiateOutput() override { return 0; }
  void Shutdown() override;

 private:
  void PushEvent(std::uint32_t type);

  std::string name_;
  CodecContextPtr context_;
  std::vector<std::uint8_t> parameterSets_;
  std::unique_ptr<AVFrame, FrameFree> frame_;  // the encoder's own NV12 copy
  std::unique_ptr<AVPacket, PacketFree> packet_;
  std::vector<Texture> surfaces_;  // the opened pool slots, in slot order
  struct Output {
    std::vector<std::uint8_t> bytes;
    std::uint64_t frameId = 0;  // the packet's pts, which MakeSample set
  };
  std::deque<Output> outputs_;  // pump thread only
  std::optional<std::uint64_t> lastOutputId_;
  // Applied on the pump thread before the next frame; set from the control
  // threads.
  std::atomic<bool> forceKeyframe_{false};
  std::atomic<std::uint32_t> bitrate_{0};
  // The HRD buffer's length in time, as opened; 0 leaves the buffer to the
  // encoder.
  double bufferSeconds_ = 0.0;

  std::mutex eventsMutex_;  // guards events_ and shutdown_; a leaf lock
  std::deque<std::uint32_t> events_;
  bool shutdown_ = false;
};

}  // namespace veyra
