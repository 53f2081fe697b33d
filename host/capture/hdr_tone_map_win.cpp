#include "host/capture/hdr_tone_map_win.h"

#include <bit>
#include <vector>

#include "host/base/hresult_text.h"
#include "host/base/log.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

// The sRGB curve without branches: the step between its linear foot and
// its power part is a mask made by saturate, and pow only ever sees
// values where it is defined.
constexpr char kToneMapShader[] = R"(
Texture2D<float4> desktop : register(t0);
cbuffer ToneMap : register(b0) { float scale; float3 unused; };
float4 main(float4 position : SV_Position) : SV_Target {
  float3 level = saturate(desktop.Load(int3(position.xy, 0)).rgb * scale);
  float3 foot = level * 12.92;
  float3 curve = 1.055 * pow(max(level, 0.0031308), 1.0 / 2.4) - 0.055;
  float3 above = saturate((level - 0.0031308) * 1.0e9);
  return float4(lerp(foot, curve, above), 1);
}
)";

}  // namespace

std::uint32_t QuerySdrWhiteLevel(const std::wstring& deviceName) {
  // The path whose source carries the output's GDI name leads to the
  // target (the monitor) that has the level ("DisplayConfigGetDeviceInfo",
  // "DISPLAYCONFIG_SDR_WHITE_LEVEL").
  UINT32 pathCount = 0;
  UINT32 modeCount = 0;
  if (GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &pathCount, &modeCount) != ERROR_SUCCESS) {
    return 0;
  }
  std::vector<DISPLAYCONFIG_PATH_INFO> paths(pathCount);
  std::vector<DISPLAYCONFIG_MODE_INFO> modes(modeCount);
  if (QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &pathCount, paths.data(), &modeCount, modes.data(),
                         nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  paths.resize(pathCount);
  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    DISPLAYCONFIG_SOURCE_DEVICE_NAME source{};
    source.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
    source.header.size = sizeof source;
    source.header.adapterId = path.sourceInfo.adapterId;
    source.header.id = path.sourceInfo.id;
    if (DisplayConfigGetDeviceInfo(&source.header) != ERROR_SUCCESS) continue;
    source.viewGdiDeviceName[CCHDEVICENAME - 1] = L'\0';
    if (deviceName != source.viewGdiDeviceName) continue;
    DISPLAYCONFIG_SDR_WHITE_LEVEL white{};
    white.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SDR_WHITE_LEVEL;
    white.header.size = sizeof white;
    white.header.adapterId = path.targetInfo.adapterId;
    white.header.id = path.targetInfo.id;
    if (DisplayConfigGetDeviceInfo(&white.header) != ERROR_SUCCESS) return 0;
    return white.SDRWhiteLevel;
  }
  return 0;
}

HRESULT HdrToneMap::Prepare(ID3D11Device* device, ShaderCompiler& compiler) {
  if (pass_.ready()) return S_OK;
  if (failed_) return E_NOTIMPL;
  const HRESULT result = pass_.Init(device, compiler, kToneMapShader, QuadPass::Blend::kReplace);
  if (FAILED(result)) {
    failed_ = true;
    Log(LogLevel::Error, "%s failed: %s", "HDR tone map", HresultText(result).c_str());
  }
  return result;
}

HRESULT HdrToneMap::Draw(ID3D11Device* device, ID3D11DeviceContext* context,
                         ShaderCompiler& compiler, ID3D11Texture2D* desktop,
                         ID3D11RenderTargetView* target, std::uint32_t width,
                         std::uint32_t height) {
  const HRESULT prepared = Prepare(device, compiler);
  if (FAILED(prepared)) return prepared;
  // A new view per image: duplication hands out a few surfaces in turn.
  ComPtr<ID3D11ShaderResourceView> view;
  const HRESULT result = device->CreateShaderResourceView(desktop, nullptr, view.GetAddressOf());
  if (FAILED(result)) {
    Log(LogLevel::Error, "%s failed: %s", "CreateShaderResourceView(HDR desktop)",
        HresultText(result).c_str());
    return result;
  }
  const D3D11_VIEWPORT viewport{0, 0, static_cast<float>(width), static_cast<float>(height), 0, 1};
  pass_.Draw(context, view.Get(), target, viewport,
             {std::bit_cast<std::uint32_t>(scale_), 0, 0, 0});
  return S_OK;
}

}  // namespace veyra
