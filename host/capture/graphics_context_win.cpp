// Placeholder for the Direct3D 11 back end, which is still to be written:
// the context reports itself as not implemented, so the host's pipeline and
// probe fail cleanly instead of running on devices that do not exist.

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"

namespace veyra {

struct GraphicsDevices {};

GraphicsContext::GraphicsContext() = default;
GraphicsContext::~GraphicsContext() = default;

std::int32_t GraphicsContext::Init(std::uint64_t /*adapterLuid*/) {
  devices_.reset();
  Log(LogLevel::Error, "%s failed: %s", "D3D11CreateDevice",
      HresultText(status::kENotImpl).c_str());
  return status::kENotImpl;
}

std::int32_t GraphicsContext::CreateTexture(std::uint32_t /*width*/, std::uint32_t /*height*/,
                                            PixelFormat /*format*/, Texture* /*texture*/) {
  return status::kENotImpl;
}

std::int32_t GraphicsContext::WritePixels(const Texture& /*texture*/, std::uint32_t /*left*/,
                                          std::uint32_t /*right*/, std::uint32_t /*bottom*/,
                                          const std::uint32_t* /*pixels*/,
                                          std::uint32_t /*rowPitchBytes*/) {
  return status::kENotImpl;
}

std::int32_t GraphicsContext::CopyTexture(const Texture& /*from*/, const Texture& /*to*/) {
  return status::kENotImpl;
}

}  // namespace veyra
