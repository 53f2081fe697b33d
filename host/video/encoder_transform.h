#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/graphics_context.h"
#include "host/video/encoder_config.h"
#include "host/video/keyed_mutex.h"
#include "host/video/nv12_pool.h"

namespace veyra {

// Messages the encoder sends its transform, as the platform's transform
// messages name them.
enum class TransformMessage : std::uint8_t {
  kBeginStreaming,
  kStartOfStream,
  kCommandFlush,
  kEndOfStream,
  kEndStreaming,
};

// Event types of an asynchronous transform, numbered as the platform
// numbers them.
inline constexpr std::uint32_t kEventError = 1;
inline constexpr std::uint32_t kEventNeedInput = 601;
inline constexpr std::uint32_t kEventHaveOutput = 602;
inline constexpr std::uint32_t kEventDrainComplete = 603;

// What one ProcessOutput call produced.
enum class OutputKind : std::uint8_t {
  kNone,              // success without a sample
  kSample,            // |accessUnit| holds the output
  kLost,              // a sample came but its bytes could not be read
  kAllocationFailed,  // no output sample could be made (already logged)
};

// One H.264 encoder as the pump drives it, shaped after a Media Foundation
// transform: the Windows back end fills it with the MFT, the native one with
// libavcodec. Every operation returns the platform's status; the encoder
// writes the log lines around them.
//
// Threads: Configure, OpenSurface, ProcessMessage and Shutdown run on the
// thread that opens and shuts the encoder down, never while the pump runs
// except ApplySetting (any thread: the control operations). Everything else
// runs on the pump thread.
class EncoderTransform {
 public:
  virtual ~EncoderTransform() = default;

  virtual const std::string& name() const = 0;
  virtual bool async() const = 0;
  virtual bool HasEvents() const = 0;

  // Binds the transform to the encoder's device, where it reads the
  // device's textures (hardware transforms on Windows); first of all.
  virtual std::int32_t BindDevice() { return 0; }

  // Stream identifiers and the media types, after every fixed setting. On
  // failure |failedStep| names the step ("media types").
  virtual std::int32_t Configure(const EncoderConfig& config, const char** failedStep) = 0;

  // The sequence header the output type carries; empty when it has none.
  virtual std::vector<std::uint8_t> SequenceHeaderOfType() = 0;

  virtual bool HasCodecApi() const = 0;
  virtual std::int32_t ApplySetting(const CodecSetting& setting) = 0;

  virtual std::int32_t ProcessMessage(TransformMessage message) = 0;

  // Opens pool slot |slot| on the encoder's device through its shared handle
  // and reports the slot's keyed mutex.
  virtual std::int32_t OpenSurface(std::size_t slot, SharedHandle handle, std::uint32_t width,
                                   std::uint32_t height,
                                   std::shared_ptr<KeyedMutex>* keyedMutex) = 0;

  // Starts telling |onEvent| of each event as it arrives, from a thread of
  // the platform's, so that the pump can sleep until then; false when the
  // transform cannot, and the pump polls GetEvent. GetEvent still hands
  // the events out. On the pump thread, once.
  virtual bool WatchEvents(std::function<void()> /*onEvent*/) { return false; }

  // Takes one event without waiting: S_OK with |type| (|typeKnown| false
  // when it could not be read) and the event's own status in
  // |eventStatus|, MF_E_NO_EVENTS_AVAILABLE, or a failure (MF_E_SHUTDOWN
  // once Shutdown ran).
  virtual std::int32_t GetEvent(std::uint32_t* type, bool* typeKnown,
                                std::int32_t* eventStatus) = 0;

  virtual std::int32_t GetInputStatus(bool* acceptsData) = 0;

  // Copies the shared slot into the encoder's own texture; the caller holds
  // the slot with key 1.
  virtual std::int32_t CopySurface(std::size_t slot) = 0;

  // Wraps the copied texture of |slot| into an input sample for |frameId|.
  virtual std::int32_t MakeSample(std::size_t slot, std::uint64_t frameId) = 0;

  // Feeds the sample made last; it is released in every case.
  virtual std::int32_t ProcessInput() = 0;

  // Takes one output. S_OK with |kind|; MF_E_TRANSFORM_NEED_MORE_INPUT,
  // E_UNEXPECTED or MF_E_TRANSFORM_STREAM_CHANGE as the transform says; or
  // a failure.
  virtual std::int32_t ProcessOutput(std::vector<std::uint8_t>* accessUnit, OutputKind* kind) = 0;

  // The frame id the last ProcessOutput's sample was made from, where the
  // transform carries it through (the sample time, the packet's pts); empty
  // when it does not say. Lets the pump tell which inputs it skipped.
  virtual std::optional<std::uint64_t> OutputFrameId() const { return std::nullopt; }

  // After a stream change, sets the first offered output type that is still
  // H.264 of the configured size (the first offered when none says more).
  virtual std::int32_t RenegotiateOutput() = 0;

  // Per-thread set-up and tear-down of the pump thread (the COM apartment
  // on Windows), called on that thread.
  virtual void PumpThreadStarted() {}
  virtual void PumpThreadStopping() {}

  // Ends the transform's event generator; a pending GetEvent then fails
  // with MF_E_SHUTDOWN.
  virtual void Shutdown() = 0;
};

}  // namespace veyra
