#pragma once
// How the host describes its Direct3D 11 textures: a picture of one mip
// level and one slice, not multisampled, that only the GPU touches; and the
// staging copy through which the CPU reads one back.

#include <d3d11.h>

namespace veyra {

inline D3D11_TEXTURE2D_DESC TextureDesc(UINT width, UINT height, DXGI_FORMAT format,
                                        UINT bindFlags) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = bindFlags;
  return desc;
}

// |desc| as a texture the CPU maps to read: staging usage, filled only by
// copies, since one with CPU read access may not be bound to the pipeline.
inline D3D11_TEXTURE2D_DESC StagingDesc(D3D11_TEXTURE2D_DESC desc) {
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  return desc;
}

}  // namespace veyra
