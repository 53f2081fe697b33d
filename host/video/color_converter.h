#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/capture/graphics_context.h"
#include "host/capture/output_rotation.h"
#include "host/video/conversion_engine.h"
#include "host/video/nv12_pool.h"

namespace veyra {

// Turns captured BGRA frames into NV12 frames of the stream size, into a ring
// of kNv12PoolSlots shared slots. A slot's keyed mutex hands it to the
// encoder (key 1) and back (key 0); a slot still held by the encoder costs
// one dropped frame, never a wait longer than 4 milliseconds.
//
// Threads: Init and Shutdown on the pipeline-building thread while the
// capture thread is not running; Convert and WaitForSlot on the capture
// thread only.
class ColorConverter {
 public:
  static constexpr std::uint32_t kSlotWaitMs = 4;
  static constexpr std::uint64_t kGpuWaitLimitUs = 200000;
  // Where the engine cannot sleep on the GPU: yields first, since a
  // conversion usually finishes within microseconds, then short sleeps.
  static constexpr unsigned kYieldRetries = 16;
  static constexpr std::uint64_t kPollSleepUs = 500;

  ColorConverter();  // this build's engine
  explicit ColorConverter(std::unique_ptr<ConversionEngine> engine);
  ~ColorConverter();
  ColorConverter(const ColorConverter&) = delete;
  ColorConverter& operator=(const ColorConverter&) = delete;

  // Shuts down first, then builds the processor and the pool. The output
  // size loses its lowest bit in each direction, so it is always even.
  // |rotation| turns the input clockwise into an output of the size given;
  // where the engine cannot turn pictures the output is the input's
  // orientation (the output size swapped for quarter turns) and
  // appliedRotation() says so.
  std::int32_t Init(GraphicsContext& graphics, std::uint32_t inputWidth, std::uint32_t inputHeight,
                    std::uint32_t outputWidth, std::uint32_t outputHeight,
                    OutputRotation rotation = OutputRotation::kIdentity);

  // Converts |input| into the next slot of the ring and reports the slot's
  // texture and index. The index advances whatever happens. E_PENDING when
  // the encoder still holds the slot (drop the frame), WAIT_ABANDONED
  // (kKeyedMutexAbandoned, positive) when the encoder's device let go of it
  // without releasing (the devices are lost), E_FAIL when the input cannot
  // be read, the invalid-state status before Init.
  std::int32_t Convert(const Texture& input, Texture* output, std::size_t* slotIndex);

  // Waits, at most 200 milliseconds, for the slot's conversion to finish,
  // without keeping a core busy.
  void WaitForSlot(std::size_t slotIndex);

  // Every slot's shared handle, in slot order, for the encoder.
  std::vector<SharedHandle> SharedHandles() const;

  std::uint32_t OutputWidth() const { return outputWidth_; }
  std::uint32_t OutputHeight() const { return outputHeight_; }
  OutputRotation appliedRotation() const { return rotation_; }
  std::uint64_t lastConvertUs() const { return lastConvertUs_; }
  const Nv12Pool& pool() const { return pool_; }

  // Closes the shared handles and releases everything. Also right for a
  // converter that was never initialised.
  void Shutdown();

 private:
  std::int32_t BuildPool();

  std::unique_ptr<ConversionEngine> engine_;
  bool engineReady_ = false;
  Nv12Pool pool_;
  std::uint64_t nextSlot_ = 0;
  std::uint64_t lastConvertUs_ = 0;
  std::uint32_t inputWidth_ = 0;
  std::uint32_t inputHeight_ = 0;
  std::uint32_t outputWidth_ = 0;
  std::uint32_t outputHeight_ = 0;
  OutputRotation rotation_ = OutputRotation::kIdentity;
};

}  // namespace veyra
