// The native back end's graphics: no GPU, so textures are planes in memory
// and both "devices" are the process's allocator. Conversion runs on the CPU
// (libswscale), which is the adapter the probe names.

#include <cstring>
#include <memory>
#include <new>

#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"
#include "host/capture/texture_storage_posix.h"

namespace veyra {

struct GraphicsDevices {};

namespace {

constexpr char kNativeAdapterName[] = "CPU (libswscale)";

std::uint32_t BytesPerRow(std::uint32_t width, PixelFormat format) {
  return format == PixelFormat::kBgra ? width * 4 : width;
}

std::size_t StorageBytes(std::uint32_t width, std::uint32_t height, PixelFormat format) {
  const std::size_t pitch = BytesPerRow(width, format);
  return format == PixelFormat::kBgra ? pitch * height : pitch * height + pitch * (height / 2);
}

}  // namespace

GraphicsContext::GraphicsContext() = default;
GraphicsContext::GraphicsContext(const GraphicsPlatform* platform) : platform_(platform) {}
GraphicsContext::~GraphicsContext() = default;

// Memory is never lost.
bool GraphicsContext::DeviceLost() const { return false; }

// The one adapter, the CPU, shows every monitor and never refuses one.
std::int32_t GraphicsContext::CreateOnChosenAdapter() {
  if (!refusedLuids_.empty()) return status::kDxgiErrorNotFound;
  devices_.reset();
  devices_ = std::make_unique<GraphicsDevices>();
  adapterLuid_ = requestedLuid_;
  adapterName_ = kNativeAdapterName;
  Log(LogLevel::Info, "native graphics on %s: frames stay in system memory", adapterName_.c_str());
  return status::kSOk;
}

std::int32_t GraphicsContext::CreateTexture(std::uint32_t width, std::uint32_t height,
                                            PixelFormat format, Texture* texture) {
  if (!devices_) return status::kInvalidStateHresult;
  if (width == 0 || height == 0 || (format == PixelFormat::kNv12 && ((width | height) & 1u) != 0)) {
    return status::kEInvalidArg;
  }
  auto storage = std::make_shared<TextureStorage>();
  storage->pitch = BytesPerRow(width, format);
  try {
    storage->bytes.assign(StorageBytes(width, height, format), 0);
  } catch (const std::bad_alloc&) {
    return status::kEOutOfMemory;
  }
  texture->storage = std::move(storage);
  texture->width = width;
  texture->height = height;
  texture->format = format;
  return status::kSOk;
}

std::int32_t GraphicsContext::WritePixels(const Texture& texture, std::uint32_t left,
                                          std::uint32_t right, std::uint32_t bottom,
                                          const std::uint32_t* pixels,
                                          std::uint32_t rowPitchBytes) {
  if (!texture || texture.format != PixelFormat::kBgra || left >= right || right > texture.width ||
      bottom > texture.height) {
    return status::kEInvalidArg;
  }
  TextureStorage& storage = StorageOf(texture);
  const auto* source = reinterpret_cast<const std::uint8_t*>(pixels);
  const std::size_t rowBytes = static_cast<std::size_t>(right - left) * 4;
  for (std::uint32_t y = 0; y < bottom; ++y) {
    std::memcpy(storage.bytes.data() + static_cast<std::size_t>(y) * storage.pitch +
                    static_cast<std::size_t>(left) * 4,
                source + static_cast<std::size_t>(y) * rowPitchBytes, rowBytes);
  }
  return status::kSOk;
}

std::int32_t GraphicsContext::CopyTexture(const Texture& from, const Texture& to) {
  if (!from || !to || from.width != to.width || from.height != to.height ||
      from.format != to.format) {
    return status::kEInvalidArg;
  }
  if (from.storage != to.storage) {
    StorageOf(to).bytes = StorageOf(from).bytes;
  }
  return status::kSOk;
}

}  // namespace veyra
