#include "host/capture/quad_pass_win.h"

#include <cstring>

#include "host/base/hresult_text.h"
#include "host/base/log.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

// Four vertices of a strip from SV_VertexID alone (no vertex buffer, no
// input layout): the corners of the viewport.
constexpr char kCornerShader[] = R"(
float4 main(uint id : SV_VertexID) : SV_Position {
  float2 corner = float2(id & 1, id >> 1);
  return float4(corner.x * 2 - 1, 1 - corner.y * 2, 0, 1);
}
)";

}  // namespace

ShaderCompiler::~ShaderCompiler() {
  if (module_ != nullptr) FreeLibrary(module_);
}

HRESULT ShaderCompiler::Compile(const char* source, const char* target, ComPtr<ID3DBlob>* code) {
  if (!loaded_) {
    loaded_ = true;
    // Part of Windows since 8.1 ("HLSL Compiler"); searched in System32
    // only, never beside the program.
    module_ = LoadLibraryExW(L"d3dcompiler_47.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module_ != nullptr) {
      // GetProcAddress returns every export as one function type.
      compile_ = reinterpret_cast<CompileFunction>(
          reinterpret_cast<void (*)()>(GetProcAddress(module_, "D3DCompile")));
    }
    if (compile_ == nullptr) Log(LogLevel::Info, "no HLSL compiler; drawing on the CPU");
  }
  if (compile_ == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  ComPtr<ID3DBlob> errors;
  const HRESULT result =
      compile_(source, std::strlen(source), "veyra", nullptr, nullptr, "main", target, 0, 0,
               code->ReleaseAndGetAddressOf(), errors.GetAddressOf());
  if (FAILED(result)) {
    Log(LogLevel::Warn, "D3DCompile(%s) failed: %s", target, HresultText(result).c_str());
  }
  return result;
}

HRESULT QuadPass::Init(ID3D11Device* device, ShaderCompiler& compiler, const char* pixelShader,
                       Blend blend) {
  pixel_.Reset();
  ComPtr<ID3DBlob> vertexCode;
  ComPtr<ID3DBlob> pixelCode;
  HRESULT result = compiler.Compile(kCornerShader, "vs_4_0", &vertexCode);
  if (SUCCEEDED(result)) result = compiler.Compile(pixelShader, "ps_4_0", &pixelCode);
  if (FAILED(result)) return result;
  result = device->CreateVertexShader(vertexCode->GetBufferPointer(), vertexCode->GetBufferSize(),
                                      nullptr, vertex_.ReleaseAndGetAddressOf());
  if (SUCCEEDED(result)) {
    result = device->CreatePixelShader(pixelCode->GetBufferPointer(), pixelCode->GetBufferSize(),
                                       nullptr, pixel_.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(result)) {
    D3D11_BLEND_DESC desc{};
    D3D11_RENDER_TARGET_BLEND_DESC& target = desc.RenderTarget[0];
    target.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (blend == Blend::kOver) {
      target.BlendEnable = TRUE;
      target.SrcBlend = D3D11_BLEND_SRC_ALPHA;
      target.DestBlend = D3D11_BLEND_INV_SRC_ALPHA;
      target.BlendOp = D3D11_BLEND_OP_ADD;
      target.SrcBlendAlpha = D3D11_BLEND_ZERO;
      target.DestBlendAlpha = D3D11_BLEND_ONE;
      target.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    }
    result = device->CreateBlendState(&desc, blend_.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(result)) {
    const D3D11_BUFFER_DESC desc{
        sizeof(Constants), D3D11_USAGE_DEFAULT, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0};
    result = device->CreateBuffer(&desc, nullptr, constants_.ReleaseAndGetAddressOf());
  }
  if (FAILED(result)) {
    Log(LogLevel::Warn, "GPU drawing pass failed: %s", HresultText(result).c_str());
    pixel_.Reset();
  }
  return result;
}

void QuadPass::Draw(ID3D11DeviceContext* context, ID3D11ShaderResourceView* source,
                    ID3D11RenderTargetView* target, const D3D11_VIEWPORT& viewport,
                    const Constants& constants) {
  context->UpdateSubresource(constants_.Get(), 0, nullptr, constants.data(), 0, 0);
  context->IASetInputLayout(nullptr);
  context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  context->VSSetShader(vertex_.Get(), nullptr, 0);
  context->PSSetShader(pixel_.Get(), nullptr, 0);
  context->PSSetShaderResources(0, 1, &source);
  context->PSSetConstantBuffers(0, 1, constants_.GetAddressOf());
  context->OMSetBlendState(blend_.Get(), nullptr, 0xFFFFFFFFu);
  context->OMSetRenderTargets(1, &target, nullptr);
  context->RSSetViewports(1, &viewport);
  context->Draw(4, 0);
  ID3D11ShaderResourceView* const noSource = nullptr;
  context->PSSetShaderResources(0, 1, &noSource);
  context->OMSetRenderTargets(0, nullptr, nullptr);
}

}  // namespace veyra
