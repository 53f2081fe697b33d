#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/adapter_choice.h"
#include "host/capture/texture.h"

namespace veyra {

class ICaptureSource;

// The back end's devices: the capture and encoder Direct3D 11 devices with
// their immediate contexts and the adapter on Windows, nothing but the
// memory allocator natively. Defined by each back end.
struct GraphicsDevices;

// Where a back end gets its adapters and devices: the system's on Windows
// unless a test hands in its own. Defined by the back ends that have one.
struct GraphicsPlatform;

// The graphics adapter and the two devices the pipeline runs on. The capture
// device serves the capture sources, the colour converter and the capture
// loop; the encoder device serves the encoder. Pictures cross from one to the
// other only through the converter's shared NV12 pool.
//
// Threads: Init on the session's main thread before any pipeline thread
// exists; the texture operations from the pipeline-building thread and the
// capture thread (the devices are multithread-protected).
class GraphicsContext {
 public:
  GraphicsContext();
  // |platform| must outlive the context; nullptr means the system's.
  explicit GraphicsContext(const GraphicsPlatform* platform);
  ~GraphicsContext();
  GraphicsContext(const GraphicsContext&) = delete;
  GraphicsContext& operator=(const GraphicsContext&) = delete;

  // Chooses the adapter and creates both devices: the adapter with that id,
  // or for 0 the first that shows monitor |monitor| (ChooseAdapter). A
  // second Init replaces them; everything built on the old ones must be
  // torn down first.
  std::int32_t Init(std::uint64_t adapterLuid, std::uint32_t monitor = 0);

  // Opens |source| on these devices. When the adapter cannot duplicate the
  // monitor (DXGI_ERROR_UNSUPPORTED: on a hybrid laptop set to high
  // performance the discrete GPU lists the panel but cannot duplicate it),
  // the devices move to the next adapter that shows the same monitor and
  // the source is opened again, each adapter tried once a call (the next
  // call starts a new round where this one ended). Returns the last status,
  // or the failure to create devices on the next adapter (DeviceLost then
  // holds). Only before anything else is built on the devices, which this
  // may replace.
  std::int32_t OpenSource(ICaptureSource& source);

  bool initialised() const { return devices_ != nullptr; }
  const std::string& adapterName() const { return adapterName_; }
  std::uint64_t adapterLuid() const { return adapterLuid_; }
  // The output of this adapter that shows monitor |monitor| (numbered as
  // Init numbers them); nothing when it shows none.
  std::optional<std::uint32_t> OutputOf(std::uint32_t monitor) const;

  // True once the devices cannot be used any more: a device was removed or
  // reset (a driver update, a GPU reset, a dock change), or the adapters
  // changed under the factory (IDXGIFactory1::IsCurrent). Everything built
  // on the devices must then be torn down and Init called again.
  bool DeviceLost() const;

  // A texture on the capture device, usable as render target and shader
  // resource, without initial contents.
  std::int32_t CreateTexture(std::uint32_t width, std::uint32_t height, PixelFormat format,
                             Texture* texture);

  // Writes |pixels| (BGRA, |rowPitchBytes| apart) into the columns
  // [left, right) of rows [0, bottom) of a BGRA texture. The box must lie
  // inside the texture.
  std::int32_t WritePixels(const Texture& texture, std::uint32_t left, std::uint32_t right,
                           std::uint32_t bottom, const std::uint32_t* pixels,
                           std::uint32_t rowPitchBytes);

  // Copies all of |from| into |to|, which has the same size and format.
  std::int32_t CopyTexture(const Texture& from, const Texture& to);

  // Keeps a copy of the frame the capture loop just converted, so that a
  // still desktop can be sent again when a keyframe is wanted: copied into
  // |lastFrame| when that has the frame's size and format, otherwise into a
  // new texture that replaces it. A failure is logged and leaves no copy.
  void KeepLastFrame(const Texture& frame, Texture* lastFrame);

  // The back end's own access to its devices; nullptr before Init.
  GraphicsDevices* devices() const { return devices_.get(); }

 private:
  // Chooses among the adapters that have not refused the monitor and
  // creates the devices there; DXGI_ERROR_NOT_FOUND, devices untouched,
  // when none is left.
  std::int32_t CreateOnChosenAdapter();

  const GraphicsPlatform* platform_ = nullptr;
  std::unique_ptr<GraphicsDevices> devices_;
  std::uint64_t adapterLuid_ = 0;
  std::string adapterName_;
  // What Init was asked for, and the adapters as last enumerated with the
  // index of the chosen one.
  std::uint64_t requestedLuid_ = 0;
  std::uint32_t monitor_ = 0;
  std::vector<AdapterSummary> adapters_;
  std::size_t chosen_ = 0;
  // Adapters that could not duplicate monitor_ since Init.
  std::vector<std::uint64_t> refusedLuids_;
};

}  // namespace veyra
