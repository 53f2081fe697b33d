#pragma once

#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "host/capture/graphics_context.h"
#include "host/capture/texture.h"

namespace veyra {

// A texture of the Direct3D 11 back end.
struct TextureStorage {
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
};

// The Direct3D texture behind |texture|; nullptr for an empty one.
inline ID3D11Texture2D* D3DTextureOf(const Texture& texture) {
  return texture.storage ? texture.storage->texture.Get() : nullptr;
}

inline Texture WrapD3DTexture(Microsoft::WRL::ComPtr<ID3D11Texture2D> d3dTexture,
                              std::uint32_t width, std::uint32_t height, PixelFormat format) {
  Texture texture;
  texture.storage = std::make_shared<TextureStorage>(TextureStorage{std::move(d3dTexture)});
  texture.width = width;
  texture.height = height;
  texture.format = format;
  return texture;
}

// The devices of one GraphicsContext. Declared in creation order; members
// are released in reverse, the adapter first and the capture device last.
// Where the driver cannot share NV12 textures between devices, the encoder
// device is the capture device itself and |sharedNv12| is false.
struct GraphicsDevices {
  Microsoft::WRL::ComPtr<ID3D11Device> captureDevice;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> captureContext;
  Microsoft::WRL::ComPtr<ID3D11Device> encoderDevice;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> encoderContext;
  Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
  // The factory the adapter came from, asked whether the adapters changed.
  Microsoft::WRL::ComPtr<IDXGIFactory1> factory;
  bool sharedNv12 = true;
};

// The two system calls a GraphicsContext starts from, apart so that tests
// can hand it adapters and devices of their own.
struct GraphicsPlatform {
  std::function<HRESULT(IDXGIFactory1** factory)> createFactory;
  // D3D11CreateDevice's parameters, SDK version excepted.
  std::function<HRESULT(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, UINT flags,
                        const D3D_FEATURE_LEVEL* levels, UINT levelCount, ID3D11Device** device,
                        D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context)>
      createDevice;
};

// CreateDXGIFactory1 and D3D11CreateDevice.
const GraphicsPlatform& SystemGraphicsPlatform();

}  // namespace veyra
