// The Direct3D 11 back end's devices: one DXGI adapter, a capture device and
// an encoder device on it, both multithread-protected.

#include <d3d10.h>
#include <d3d11_4.h>

#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/base/utf_conversion.h"
#include "host/capture/adapter_choice.h"
#include "host/capture/graphics_context.h"
#include "host/capture/graphics_devices_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

// BGRA for the duplication and synthetic textures, VIDEO for the video
// processor and the encoder's device manager.
constexpr UINT kDeviceFlags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
constexpr D3D_FEATURE_LEVEL kFeatureLevels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                                D3D_FEATURE_LEVEL_10_1};

void LogFailure(const char* step, HRESULT result) {
  Log(LogLevel::Error, "%s failed: %s", step, HresultText(result).c_str());
}

// Creates one device on |adapter| into the given slots, releasing what they
// held first.
HRESULT CreateDevice(const GraphicsPlatform& platform, IDXGIAdapter1* adapter, const char* role,
                     ComPtr<ID3D11Device>* device, ComPtr<ID3D11DeviceContext>* context) {
  context->Reset();
  device->Reset();
  D3D_FEATURE_LEVEL level{};
  // An explicit adapter requires the unknown driver type.
  const HRESULT result = platform.createDevice(
      adapter, D3D_DRIVER_TYPE_UNKNOWN, kDeviceFlags, kFeatureLevels,
      static_cast<UINT>(std::size(kFeatureLevels)), device->ReleaseAndGetAddressOf(), &level,
      context->ReleaseAndGetAddressOf());
  if (FAILED(result)) {
    LogFailure("D3D11CreateDevice", result);
    return result;
  }
  // The capture device is used by the pipeline-building and the capture
  // threads, the encoder device by the pump and by the encoder itself.
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED((*device)->QueryInterface(IID_PPV_ARGS(&multithread)))) {
    multithread->SetMultithreadProtected(TRUE);
  }
  Log(LogLevel::Debug, "  %s device: feature level 0x%04X", role, static_cast<unsigned>(level));
  return S_OK;
}

HRESULT SystemCreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, UINT flags,
                           const D3D_FEATURE_LEVEL* levels, UINT levelCount, ID3D11Device** device,
                           D3D_FEATURE_LEVEL* level, ID3D11DeviceContext** context) {
  return D3D11CreateDevice(adapter, driverType, nullptr, flags, levels, levelCount,
                           D3D11_SDK_VERSION, device, level, context);
}

HRESULT SystemCreateFactory(IDXGIFactory1** factory) {
  return CreateDXGIFactory1(IID_PPV_ARGS(factory));
}

D3D11_TEXTURE2D_DESC TextureDesc(std::uint32_t width, std::uint32_t height, PixelFormat format) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format == PixelFormat::kBgra ? DXGI_FORMAT_B8G8R8A8_UNORM : DXGI_FORMAT_NV12;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  return desc;
}

// Each output's monitor as a number: an HMONITOR names one monitor of the
// desktop whichever adapter lists it ("DXGI_OUTPUT_DESC structure"), so a
// panel that a hybrid laptop lists under both GPUs is counted once.
std::uint64_t MonitorOf(IDXGIOutput* output) {
  DXGI_OUTPUT_DESC desc{};
  if (FAILED(output->GetDesc(&desc))) return 0;
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(desc.Monitor));
}

}  // namespace

const GraphicsPlatform& SystemGraphicsPlatform() {
  static const GraphicsPlatform platform{SystemCreateFactory, SystemCreateDevice};
  return platform;
}

GraphicsContext::GraphicsContext() = default;
GraphicsContext::GraphicsContext(const GraphicsPlatform* platform) : platform_(platform) {}
GraphicsContext::~GraphicsContext() = default;

std::int32_t GraphicsContext::CreateOnChosenAdapter() {
  const GraphicsPlatform& platform = platform_ != nullptr ? *platform_ : SystemGraphicsPlatform();
  ComPtr<IDXGIFactory1> factory;
  HRESULT result = platform.createFactory(factory.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("CreateDXGIFactory1", result);
    return result;
  }

  // Every adapter with its monitors: the monitor may be on any of them.
  // EnumAdapters1 and EnumOutputs end with DXGI_ERROR_NOT_FOUND.
  std::vector<ComPtr<IDXGIAdapter1>> adapters;
  std::vector<DXGI_ADAPTER_DESC1> descs;
  std::vector<AdapterSummary> summaries;
  for (UINT index = 0;; ++index) {
    ComPtr<IDXGIAdapter1> adapter;
    result = factory->EnumAdapters1(index, adapter.GetAddressOf());
    if (result == DXGI_ERROR_NOT_FOUND) break;
    if (FAILED(result)) continue;
    DXGI_ADAPTER_DESC1 desc{};
    if (FAILED(adapter->GetDesc1(&desc))) continue;
    AdapterSummary summary;
    summary.software = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
    summary.luid = LuidValue(desc.AdapterLuid.LowPart, desc.AdapterLuid.HighPart);
    ComPtr<IDXGIOutput> output;
    for (UINT outputIndex = 0;
         SUCCEEDED(adapter->EnumOutputs(outputIndex, output.ReleaseAndGetAddressOf()));
         ++outputIndex) {
      summary.monitors.push_back(MonitorOf(output.Get()));
    }
    adapters.push_back(adapter);
    descs.push_back(desc);
    summaries.push_back(std::move(summary));
  }
  const std::optional<std::size_t> chosenIndex =
      ChooseAdapter(summaries, requestedLuid_, monitor_, refusedLuids_);
  if (!chosenIndex) return DXGI_ERROR_NOT_FOUND;
  const ComPtr<IDXGIAdapter1>& chosen = adapters[*chosenIndex];
  DXGI_ADAPTER_DESC1 chosenDesc = descs[*chosenIndex];
  adapters_ = std::move(summaries);
  chosen_ = *chosenIndex;

  if (!devices_) devices_ = std::make_unique<GraphicsDevices>();
  devices_->adapter = chosen;
  devices_->factory = factory;
  adapterLuid_ = LuidValue(chosenDesc.AdapterLuid.LowPart, chosenDesc.AdapterLuid.HighPart);
  chosenDesc.Description[std::size(chosenDesc.Description) - 1] = L'\0';
  adapterName_ = Utf8FromWide(chosenDesc.Description);

  // A failure keeps what was made (the capture device when the encoder
  // device failed) until the context is destroyed or initialised again.
  result = CreateDevice(platform, chosen.Get(), "capture", &devices_->captureDevice,
                        &devices_->captureContext);
  if (FAILED(result)) {
    LogFailure("capture device", result);
    return result;
  }
  // The converter hands NV12 textures to the encoder's device through
  // shared handles, which needs ExtendedNV12SharedTextureSupported
  // ("D3D11_FEATURE_DATA_D3D11_OPTIONS4"). A driver that says no gets one
  // device for both, and slots that are not shared at all. A runtime that
  // does not know the query (before Windows 10 1803, or Wine) is not a
  // driver saying no: the devices stay apart as they always were.
  D3D11_FEATURE_DATA_D3D11_OPTIONS4 options4{};
  const HRESULT asked = devices_->captureDevice->CheckFeatureSupport(D3D11_FEATURE_D3D11_OPTIONS4,
                                                                     &options4, sizeof options4);
  devices_->sharedNv12 = FAILED(asked) || options4.ExtendedNV12SharedTextureSupported != FALSE;
  if (FAILED(asked)) {
    Log(LogLevel::Debug, "  NV12 sharing not reported (%s)", HresultText(asked).c_str());
  }
  if (!devices_->sharedNv12) {
    devices_->encoderDevice = devices_->captureDevice;
    devices_->encoderContext = devices_->captureContext;
    Log(LogLevel::Warn,
        "D3D11 on %s: the driver cannot share NV12 textures; one device converts and encodes",
        adapterName_.c_str());
    return S_OK;
  }
  result = CreateDevice(platform, chosen.Get(), "encoder", &devices_->encoderDevice,
                        &devices_->encoderContext);
  if (FAILED(result)) {
    LogFailure("encoder device", result);
    return result;
  }
  Log(LogLevel::Info, "D3D11 on %s: separate capture and encoder devices", adapterName_.c_str());
  return S_OK;
}

bool GraphicsContext::DeviceLost() const {
  if (!devices_) return false;
  // Devices that could not be created on the adapter chosen last.
  if (!devices_->captureDevice) return true;
  // GetDeviceRemovedReason is S_OK for a device still usable.
  for (const auto& device : {devices_->captureDevice, devices_->encoderDevice}) {
    if (device && FAILED(device->GetDeviceRemovedReason())) return true;
  }
  return devices_->factory && !devices_->factory->IsCurrent();
}

std::int32_t GraphicsContext::CreateTexture(std::uint32_t width, std::uint32_t height,
                                            PixelFormat format, Texture* texture) {
  if (!devices_ || !devices_->captureDevice) return status::kInvalidStateHresult;
  const D3D11_TEXTURE2D_DESC desc = TextureDesc(width, height, format);
  ComPtr<ID3D11Texture2D> d3dTexture;
  const HRESULT result =
      devices_->captureDevice->CreateTexture2D(&desc, nullptr, d3dTexture.GetAddressOf());
  if (FAILED(result)) return result;
  *texture = WrapD3DTexture(std::move(d3dTexture), width, height, format);
  return S_OK;
}

std::int32_t GraphicsContext::WritePixels(const Texture& texture, std::uint32_t left,
                                          std::uint32_t right, std::uint32_t bottom,
                                          const std::uint32_t* pixels,
                                          std::uint32_t rowPitchBytes) {
  if (!devices_ || !devices_->captureContext) return status::kInvalidStateHresult;
  if (!texture || texture.format != PixelFormat::kBgra || left >= right || right > texture.width ||
      bottom > texture.height) {
    return E_INVALIDARG;
  }
  const D3D11_BOX box{left, 0, 0, right, bottom, 1};
  devices_->captureContext->UpdateSubresource(D3DTextureOf(texture), 0, &box, pixels, rowPitchBytes,
                                              0);
  return S_OK;
}

std::int32_t GraphicsContext::CopyTexture(const Texture& from, const Texture& to) {
  if (!devices_ || !devices_->captureContext) return status::kInvalidStateHresult;
  if (!from || !to || from.width != to.width || from.height != to.height ||
      from.format != to.format) {
    return E_INVALIDARG;
  }
  if (from.storage != to.storage) {
    devices_->captureContext->CopyResource(D3DTextureOf(to), D3DTextureOf(from));
  }
  return S_OK;
}

}  // namespace veyra
