#pragma once

#include <cstdint>
#include <memory>

namespace veyra {

// Pixel layouts that cross between capture, conversion and encoding.
enum class PixelFormat : std::uint8_t {
  kBgra,  // 32 bits per pixel, blue first, alpha ignored
  kNv12,  // 8-bit luma plane, then interleaved Cb/Cr at half resolution
};

// The pixels behind a Texture. Each back end defines it: a Direct3D 11
// texture on Windows, planes in memory natively. Portable code only passes it
// on, so it never needs the definition.
struct TextureStorage;

// One picture crossing the seam: a captured BGRA frame on the capture side,
// an NV12 pool slot on the encoder side. Copies share the picture (a counted
// reference, as a COM reference is); assigning another releases the old one.
struct Texture {
  std::shared_ptr<TextureStorage> storage;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  PixelFormat format = PixelFormat::kBgra;

  explicit operator bool() const { return storage != nullptr; }

  // What caches key on: the same picture has the same identity for as long
  // as any reference to it lives.
  const void* Identity() const { return storage.get(); }
};

}  // namespace veyra
