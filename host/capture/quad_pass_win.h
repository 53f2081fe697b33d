#pragma once

#include <d3d11.h>
#include <d3dcommon.h>
#include <windows.h>
#include <wrl/client.h>

#include <array>
#include <cstdint>

namespace veyra {

// The HLSL compiler, d3dcompiler_47.dll, loaded from System32 when first
// needed rather than imported: a system without it (or with a compiler
// that refuses our shaders) loses only the GPU drawing, never the host.
class ShaderCompiler {
 public:
  ShaderCompiler() = default;
  ~ShaderCompiler();
  ShaderCompiler(const ShaderCompiler&) = delete;
  ShaderCompiler& operator=(const ShaderCompiler&) = delete;

  // |target| is a profile such as "ps_4_0"; the entry point is "main".
  HRESULT Compile(const char* source, const char* target, Microsoft::WRL::ComPtr<ID3DBlob>* code);

 private:
  using CompileFunction = HRESULT(WINAPI*)(const void*, SIZE_T, const char*,
                                           const D3D_SHADER_MACRO*, ID3DInclude*, const char*,
                                           const char*, UINT, UINT, ID3DBlob**, ID3DBlob**);
  bool loaded_ = false;
  HMODULE module_ = nullptr;
  CompileFunction compile_ = nullptr;
};

// One pixel shader drawn over a rectangle of a render target, reading one
// texture and 16 bytes of constants; the rectangle is the viewport, which
// may reach past the target's edges (the rasteriser clips it). Written for
// the shader model 4 subset that every compiler we meet accepts: no
// branches, no functions of our own.
class QuadPass {
 public:
  enum class Blend : std::uint8_t {
    kReplace,  // the shader's colour and alpha replace the target's
    kOver,     // the colour is drawn over by its alpha; the target's alpha stays
  };
  using Constants = std::array<std::uint32_t, 4>;

  HRESULT Init(ID3D11Device* device, ShaderCompiler& compiler, const char* pixelShader,
               Blend blend);
  bool ready() const { return pixel_ != nullptr; }

  // Leaves nothing bound afterwards, so that |target| and |source| can be
  // copied from and handed to the video processor at once.
  void Draw(ID3D11DeviceContext* context, ID3D11ShaderResourceView* source,
            ID3D11RenderTargetView* target, const D3D11_VIEWPORT& viewport,
            const Constants& constants);

 private:
  Microsoft::WRL::ComPtr<ID3D11VertexShader> vertex_;
  Microsoft::WRL::ComPtr<ID3D11PixelShader> pixel_;
  Microsoft::WRL::ComPtr<ID3D11BlendState> blend_;
  Microsoft::WRL::ComPtr<ID3D11Buffer> constants_;
};

}  // namespace veyra
