#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/capture/graphics_context.h"
#include "host/video/encoder_backend.h"
#include "host/video/encoder_bans.h"
#include "host/video/encoder_config.h"
#include "host/video/encoder_transform.h"
#include "host/video/keyed_mutex.h"
#include "host/video/nv12_pool.h"

namespace veyra {

// How PostFrame took a frame.
enum class PostResult : std::uint8_t {
  kAccepted,
  kReplaced,  // accepted; an older frame the encoder had not taken was given back
  kRefused,   // the encoder is not running or the slot is unknown
};

// Pump counters, read by the statistics with atomic loads. Never reset: the
// statistics work with differences between reports.
struct PumpCounters {
  std::atomic<std::uint64_t> iterations{0};
  std::atomic<std::uint64_t> blocked{0};  // passes where nothing was submitted
  std::atomic<std::uint64_t> callbackUs{0};
  std::atomic<std::uint64_t> getEventUs{0};
  std::atomic<std::uint64_t> inputStatusUs{0};
  std::atomic<std::uint64_t> processInputUs{0};
  std::atomic<std::uint64_t> processOutputUs{0};
  std::atomic<std::uint64_t> waitUs{0};
};

// The H.264 encoder: chooses a transform (hardware first, one software
// fallback), configures it for low latency, and runs one pump thread that
// feeds it the newest converted pool slot and hands each access unit to the
// output callback. The capture thread only posts slots into a one-frame
// mailbox; a newer frame replaces one the pump has not taken yet.
//
// Threads: Open, OpenSharedSurfaces and Shutdown on the pipeline-building
// thread; PostFrame and RequestKeyframe on the capture thread; SetBitrate on
// the receiver-message thread; the callback on the pump thread; the counters
// from any thread. sequenceHeader is written by the pump: read it in the
// callback or after Shutdown.
class VideoEncoder {
 public:
  using FrameCallback = std::function<void(const EncodedFrame&)>;

  static constexpr std::uint32_t kSlotWaitMs = 8;
  // Inputs remembered for matching outputs; beyond this a transform has
  // dropped some without output.
  static constexpr std::size_t kMaxInFlight = kNv12PoolSlots;
  static constexpr std::uint64_t kIdleWaitUs = 5000;
  static constexpr std::uint64_t kPendingWaitUs = 200;

  VideoEncoder();  // this build's back end
  explicit VideoEncoder(std::unique_ptr<EncoderBackend> backend);
  ~VideoEncoder();
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;

  // Shuts down first, then chooses and configures a transform, starts
  // streaming and the pump.
  std::int32_t Open(GraphicsContext& graphics, const EncoderConfig& config, FrameCallback onFrame);

  // Opens the converter's pool slots, in slot order, on the encoder's side.
  std::int32_t OpenSharedSurfaces(const std::vector<SharedHandle>& handles, std::uint32_t width,
                                  std::uint32_t height);

  PostResult PostFrame(std::size_t slotIndex, std::uint64_t frameId, std::uint64_t captureTimeUs);

  // Makes the next encoded picture an IDR picture.
  void RequestKeyframe();

  // Changes the mean bit rate from the next encoded picture on (kept for
  // the next Open when none runs). The buffer size set at Open stays.
  void SetBitrate(std::uint32_t bitsPerSecond);

  // Stops the pump, ends streaming, gives a pending slot back and releases
  // the transform. Safe to repeat, and after the pump died by itself.
  void Shutdown();

  const std::string& name() const { return name_; }
  bool hardware() const { return hardware_; }
  bool running() const { return running_.load(); }
  // Why the pump stopped by itself (MEError, a failed event, a dead
  // transform, WAIT_ABANDONED from a slot's keyed mutex); S_OK while it
  // runs, until the next Open. The stream is dead then: the pipeline must
  // be built again.
  std::int32_t failure() const { return failure_.load(); }
  EncoderConfig config() const;
  const std::vector<std::uint8_t>& sequenceHeader() const { return sequenceHeader_; }
  const PumpCounters& counters() const { return counters_; }
  std::uint32_t inflightCount() const { return inflightCount_.load(); }
  std::uint64_t supersededFrames() const { return supersededFrames_.load(); }

 private:
  struct Pending {
    std::int64_t slot = -1;  // -1: nothing pending
    std::uint64_t frameId = 0;
    std::uint64_t captureTimeUs = 0;
  };
  struct InFlight {
    std::uint64_t frameId = 0;
    std::uint64_t captureTimeUs = 0;
    std::size_t slot = 0;  // whose texture the transform's sample holds
  };

  std::int32_t OpenSteps(GraphicsContext& graphics);
  std::int32_t Select(GraphicsContext& graphics);
  std::int32_t StartTransform();
  void DiscardTransform();
  void ApplyCodecSettings();
  std::int32_t SetProperty(const CodecSetting& setting);
  // The pump thread's (encoder_pump.cpp).
  void PumpLoop();
  bool TakeEvents();
  void BanAfterFailure(std::int32_t eventStatus);
  void Fail(const char* what, std::int32_t status);
  bool SlotInFlight(std::size_t slot) const;  // under lock_
  void ApplyPendingControls();
  std::int32_t Submit();
  std::int32_t DrainOutput();
  std::int32_t TakeOutput();
  void DeliverAccessUnit(const InFlight& source);

  void ReturnSlot(std::size_t slotIndex);

  std::unique_ptr<EncoderBackend> backend_;
  EncoderConfig config_;
  std::atomic<std::uint32_t> bitrate_{0};  // config_.bitrate, changed by SetBitrate
  FrameCallback onFrame_;
  std::string name_;
  bool hardware_ = false;
  bool started_ = false;  // Startup succeeded; Cleanup is owed
  std::unique_ptr<EncoderTransform> transform_;
  bool events_ = false;  // the transform has an event generator
  std::thread pumpThread_;
  std::atomic<bool> running_{false};
  std::atomic<std::int32_t> failure_{0};
  std::atomic<bool> keyframeWanted_{false};            // set by RequestKeyframe, taken by the pump
  std::atomic<bool> bitrateChanged_{false};            // set by SetBitrate, taken by the pump
  std::vector<std::shared_ptr<KeyedMutex>> surfaces_;  // one per pool slot

  // Hardware encoders that stopped a running stream by themselves (MEError,
  // a failed event) while their device was fine; under lock_.
  EncoderBans bans_;
  GraphicsContext* graphics_ = nullptr;  // the one opened on, for the pump

  // Guards pending_, needInput_, eventsArrived_, inFlight_ and bans_. A leaf lock:
  // no transform or keyed-mutex call is made under it except ReturnSlot
  // inside Shutdown.
  std::mutex lock_;
  std::condition_variable wake_;  // PostFrame and Shutdown notify it
  Pending pending_;
  std::uint32_t needInput_ = 0;
  bool eventsArrived_ = false;  // the transform told of events not yet taken
  std::deque<InFlight> inFlight_;

  std::atomic<std::uint32_t> inflightCount_{0};
  std::atomic<std::uint64_t> supersededFrames_{0};
  PumpCounters counters_;
  std::vector<std::uint8_t> sequenceHeader_;
  std::vector<std::uint8_t> accessUnit_;
};

}  // namespace veyra
