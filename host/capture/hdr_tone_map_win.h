#pragma once

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "host/capture/quad_pass_win.h"

namespace veyra {

// The monitor's SDR white level from the display configuration, for the
// output with GDI name |deviceName| ("\\.\DISPLAY1"); 0 when Windows does
// not say (older systems, no such path).
std::uint32_t QuerySdrWhiteLevel(const std::wstring& deviceName);

// Turns an HDR desktop image (R16G16B16A16_FLOAT, linear scRGB) into the
// BGRA picture the rest of the pipeline takes: scaled so that SDR white is
// 1.0, clipped to [0, 1] (highlights above SDR white and colours outside
// sRGB are cut, as an SDR screen would show them), then sRGB-encoded. One
// draw, which is also the frame's one full-size copy.
//
// Threads: the capture thread's, like its overlay.
class HdrToneMap {
 public:
  void SetScale(float scale) { scale_ = scale; }
  float scale() const { return scale_; }

  // Builds the pass; fails, and is not tried again until Reset, when the
  // shader cannot be built here (no HLSL compiler).
  HRESULT Prepare(ID3D11Device* device, ShaderCompiler& compiler);

  // Draws |desktop| into |target| (width x height); fails when the shader
  // cannot be built here.
  HRESULT Draw(ID3D11Device* device, ID3D11DeviceContext* context, ShaderCompiler& compiler,
               ID3D11Texture2D* desktop, ID3D11RenderTargetView* target, std::uint32_t width,
               std::uint32_t height);

  void Reset() {
    pass_ = QuadPass{};
    failed_ = false;
  }

 private:
  QuadPass pass_;
  bool failed_ = false;  // the pass could not be built; not tried again
  float scale_ = 1.0f;
};

}  // namespace veyra
