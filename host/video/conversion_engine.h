#pragma once

#include <cstdint>
#include <memory>

#include "host/capture/graphics_context.h"
#include "host/capture/output_rotation.h"
#include "host/video/nv12_pool.h"

namespace veyra {

// What the colour converter needs of its back end: the Direct3D 11 video
// processor on Windows, libswscale natively. The converter keeps the slot
// rotation, the key hand-off and the waiting; the engine only scales and
// converts full-range BGRA into limited-range BT.709 NV12. Each operation
// logs its own failing platform call. Runs on the threads of its converter.
class ConversionEngine {
 public:
  virtual ~ConversionEngine() = default;

  // Builds the processor for these sizes (both output sizes even).
  virtual std::int32_t Init(GraphicsContext& graphics, std::uint32_t inputWidth,
                            std::uint32_t inputHeight, std::uint32_t outputWidth,
                            std::uint32_t outputHeight) = 0;

  // Turns the picture clockwise by |rotation| on its way from the input to
  // the output (whose size Init was given turned). False, changing nothing,
  // when the back end cannot; only no rotation always works.
  virtual bool SetRotation(OutputRotation rotation) {
    return rotation == OutputRotation::kIdentity || rotation == OutputRotation::kUnspecified;
  }

  // Fills an empty slot: texture, keyed mutex at key 0, shared handle and,
  // where the back end has them, a completion query.
  virtual std::int32_t CreateSlot(Nv12Slot* slot) = 0;

  // Closes the slot's shared handle.
  virtual void CloseSlot(Nv12Slot* slot) = 0;

  // Makes sure |input| can be read by the processor (the input view cache);
  // false when it cannot.
  virtual bool PrepareInput(const Texture& input) = 0;

  // Converts |input| into |slot|, which the caller holds with key 0.
  virtual std::int32_t Blt(const Texture& input, const Nv12Slot& slot) = 0;

  // Marks the end of the slot's conversion in the GPU's command stream.
  virtual void EndQuery(const Nv12Slot& slot) = 0;

  // True once the conversion marked by EndQuery has finished.
  virtual bool QueryDone(const Nv12Slot& slot) = 0;

  // Like QueryDone, but a back end that the GPU can wake sleeps up to
  // |timeoutUs| for the conversion first. This one only asks.
  virtual bool AwaitQuery(const Nv12Slot& slot, std::uint64_t /*timeoutUs*/) {
    return QueryDone(slot);
  }

  // Submits the queued commands.
  virtual void Flush() = 0;

  // Releases the processor and everything it made (slots excepted).
  virtual void Shutdown() = 0;
};

// The engine of this build's back end.
std::unique_ptr<ConversionEngine> CreatePlatformConversionEngine();

}  // namespace veyra
