#pragma once

#include <d3d11.h>
#include <dxgi1_2.h>
#include <dxgi1_6.h>
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "host/capture/graphics_devices_win.h"
#include "host/capture/texture_desc_win.h"
#include "tests/host/support/com_object_win.h"
#include "tests/host/support/dxgi_stubs_win.h"

namespace veyra::testing {

using Microsoft::WRL::ComPtr;

// A desktop resource that is a real texture underneath, as duplication's
// resources are.
class FakeDesktopResource final
    : public ComObject<StubIDXGIResource, IDXGIObject, IDXGIDeviceSubObject, IDXGIResource> {
 public:
  explicit FakeDesktopResource(ComPtr<ID3D11Texture2D> texture) : texture_(std::move(texture)) {}

 protected:
  HRESULT QueryOther(REFIID iid, void** object) override {
    if (iid == __uuidof(ID3D11Texture2D) && texture_) return texture_.CopyTo(iid, object);
    return E_NOINTERFACE;
  }

 private:
  ComPtr<ID3D11Texture2D> texture_;
};

// One scripted AcquireNextFrame answer.
struct FakeFrameResult {
  FakeFrameResult() = default;
  FakeFrameResult(HRESULT result_, LONGLONG lastPresentTime_, ComPtr<ID3D11Texture2D> texture_,
                  LONGLONG lastMouseUpdateTime_ = 0, DXGI_OUTDUPL_POINTER_POSITION pointer_ = {})
      : result(result_),
        lastPresentTime(lastPresentTime_),
        texture(std::move(texture_)),
        lastMouseUpdateTime(lastMouseUpdateTime_),
        pointer(pointer_) {}

  HRESULT result = S_OK;
  LONGLONG lastPresentTime = 1;
  ComPtr<ID3D11Texture2D> texture;  // wrapped in a desktop resource on success
  LONGLONG lastMouseUpdateTime = 0;
  DXGI_OUTDUPL_POINTER_POSITION pointer{};
  // A new pointer shape for GetFramePointerShape; none when the bytes are
  // empty.
  DXGI_OUTDUPL_POINTER_SHAPE_INFO shapeInfo{};
  std::vector<std::uint8_t> shape;
  bool protectedContentMasked = false;
};

// What a FakeDuplication answers and records. Owned by the test.
struct FakeDuplicationRecord {
  DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
  std::deque<FakeFrameResult> frames;  // then DXGI_ERROR_WAIT_TIMEOUT
  FakeFrameResult current;             // the frame held
  int acquires = 0;
  int releases = 0;
  bool held = false;
  bool releasedWhileNotHeld = false;
};

// Duplication behaves as documented: AcquireNextFrame while a frame is held
// is an invalid call, and ReleaseFrame without a held frame too.
class FakeDuplication final
    : public ComObject<StubIDXGIOutputDuplication, IDXGIObject, IDXGIOutputDuplication> {
 public:
  explicit FakeDuplication(FakeDuplicationRecord* record) : record_(record) {}

  void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
    *desc = DXGI_OUTDUPL_DESC{};
    desc->Rotation = record_->rotation;
    desc->DesktopImageInSystemMemory = FALSE;
  }
  HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT /*timeoutMs*/, DXGI_OUTDUPL_FRAME_INFO* info,
                                             IDXGIResource** resource) override {
    ++record_->acquires;
    *info = DXGI_OUTDUPL_FRAME_INFO{};
    *resource = nullptr;
    if (record_->held) return DXGI_ERROR_INVALID_CALL;
    if (record_->frames.empty()) return DXGI_ERROR_WAIT_TIMEOUT;
    FakeFrameResult next = record_->frames.front();
    record_->frames.pop_front();
    if (FAILED(next.result) || next.result == DXGI_ERROR_WAIT_TIMEOUT) return next.result;
    record_->held = true;
    info->LastPresentTime.QuadPart = next.lastPresentTime;
    info->LastMouseUpdateTime.QuadPart = next.lastMouseUpdateTime;
    info->PointerPosition = next.pointer;
    info->PointerShapeBufferSize = static_cast<UINT>(next.shape.size());
    info->ProtectedContentMaskedOut = next.protectedContentMasked ? TRUE : FALSE;
    record_->current = next;
    *resource = MakeCom<FakeDesktopResource>(next.texture).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT size, void* buffer, UINT* required,
                                                 DXGI_OUTDUPL_POINTER_SHAPE_INFO* info) override {
    if (!record_->held) return DXGI_ERROR_INVALID_CALL;
    const std::vector<std::uint8_t>& shape = record_->current.shape;
    *required = static_cast<UINT>(shape.size());
    if (size < shape.size()) return DXGI_ERROR_MORE_DATA;
    std::copy(shape.begin(), shape.end(), static_cast<std::uint8_t*>(buffer));
    *info = record_->current.shapeInfo;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
    ++record_->releases;
    if (!record_->held) {
      record_->releasedWhileNotHeld = true;
      return DXGI_ERROR_INVALID_CALL;
    }
    record_->held = false;
    return S_OK;
  }

 private:
  FakeDuplicationRecord* record_;
};

struct FakeOutputRecord {
  RECT desktop{0, 0, 1920, 1080};
  const wchar_t* deviceName = L"\\\\.\\DISPLAY2";
  // The monitor this output shows; two adapters' outputs may name one.
  HMONITOR monitor = nullptr;
  HRESULT duplicateResult = S_OK;
  FakeDuplicationRecord duplication;
  int attempts = 0;  // DuplicateOutput calls
  int duplications = 0;
  // IDXGIOutput6, as Windows 10 1703 and later have it; its colour space.
  bool output6 = true;
  DXGI_COLOR_SPACE_TYPE colorSpace = DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709;
  HRESULT duplicate1Result = S_OK;
  std::vector<std::vector<DXGI_FORMAT>> duplicate1Formats;  // per DuplicateOutput1 call
};

class FakeOutput final
    : public ComObject<StubIDXGIOutput6, IDXGIObject, IDXGIOutput, IDXGIOutput1> {
 public:
  explicit FakeOutput(FakeOutputRecord* record) : record_(record) {}

  HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_OUTPUT_DESC1* desc) override {
    *desc = DXGI_OUTPUT_DESC1{};
    desc->ColorSpace = record_->colorSpace;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DuplicateOutput1(IUnknown* device, UINT /*flags*/, UINT count,
                                             const DXGI_FORMAT* formats,
                                             IDXGIOutputDuplication** duplication) override {
    *duplication = nullptr;
    record_->duplicate1Formats.emplace_back(formats, formats + count);
    if (device == nullptr) return E_INVALIDARG;
    if (FAILED(record_->duplicate1Result)) return record_->duplicate1Result;
    *duplication = MakeCom<FakeDuplication>(&record_->duplication).Detach();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
    *desc = DXGI_OUTPUT_DESC{};
    std::wcsncpy(desc->DeviceName, record_->deviceName, 31);
    desc->DesktopCoordinates = record_->desktop;
    desc->AttachedToDesktop = TRUE;
    desc->Rotation = record_->duplication.rotation;
    desc->Monitor = record_->monitor;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* device,
                                            IDXGIOutputDuplication** duplication) override {
    *duplication = nullptr;
    ++record_->attempts;
    if (device == nullptr) return E_INVALIDARG;
    if (FAILED(record_->duplicateResult)) return record_->duplicateResult;
    ++record_->duplications;
    *duplication = MakeCom<FakeDuplication>(&record_->duplication).Detach();
    return S_OK;
  }

 protected:
  HRESULT QueryOther(REFIID iid, void** object) override {
    const bool newer = iid == __uuidof(IDXGIOutput2) || iid == __uuidof(IDXGIOutput3) ||
                       iid == __uuidof(IDXGIOutput4) || iid == __uuidof(IDXGIOutput5) ||
                       iid == __uuidof(IDXGIOutput6);
    if (!newer || !record_->output6) return E_NOINTERFACE;
    *object = static_cast<IDXGIOutput6*>(this);
    AddRef();
    return S_OK;
  }

 private:
  FakeOutputRecord* record_;
};

struct FakeAdapterSpec {
  const wchar_t* description = L"Fake Adapter";
  UINT flags = 0;
  LUID luid{1, 0};
  std::vector<FakeOutputRecord*> outputs;
};

class FakeAdapter final
    : public ComObject<StubIDXGIAdapter1, IDXGIObject, IDXGIAdapter, IDXGIAdapter1> {
 public:
  explicit FakeAdapter(FakeAdapterSpec spec) : spec_(std::move(spec)) {}

  HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override {
    *desc = DXGI_ADAPTER_DESC1{};
    std::wcsncpy(desc->Description, spec_.description, 127);
    desc->Flags = spec_.flags;
    desc->AdapterLuid = spec_.luid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** output) override {
    *output = nullptr;
    if (index >= spec_.outputs.size()) return DXGI_ERROR_NOT_FOUND;
    *output = MakeCom<FakeOutput>(spec_.outputs[index]).Detach();
    return S_OK;
  }

 private:
  FakeAdapterSpec spec_;
};

class FakeFactory final
    : public ComObject<StubIDXGIFactory1, IDXGIObject, IDXGIFactory, IDXGIFactory1> {
 public:
  // |current| answers IsCurrent; nullptr: always current.
  explicit FakeFactory(std::vector<ComPtr<FakeAdapter>> adapters, const bool* current = nullptr)
      : adapters_(std::move(adapters)), current_(current) {}

  WINBOOL STDMETHODCALLTYPE IsCurrent() override {
    return current_ == nullptr || *current_ ? TRUE : FALSE;
  }

  HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** adapter) override {
    *adapter = nullptr;
    if (index >= adapters_.size()) return DXGI_ERROR_NOT_FOUND;
    return adapters_[index].CopyTo(adapter);
  }

 private:
  std::vector<ComPtr<FakeAdapter>> adapters_;
  const bool* current_;
};

// What FakeGraphicsPlatform's device creation was asked and answers.
struct FakeDeviceCalls {
  struct Call {
    IDXGIAdapter* adapter;
    D3D_DRIVER_TYPE driverType;
    UINT flags;
    std::vector<D3D_FEATURE_LEVEL> levels;
  };
  std::vector<Call> calls;
  int failAtCall = -1;  // index of the call that fails, -1 for none
  HRESULT failure = E_OUTOFMEMORY;
  D3D_FEATURE_LEVEL onlyLevel{};  // when set, the only level the device reaches
};

// Adapters from the test, devices real: D3D11CreateDevice on Wine's own
// adapter, whichever fake adapter was asked for, so that textures and
// contexts behave for real.
// |current|, when given, is what the factories answer to IsCurrent.
inline GraphicsPlatform FakeGraphicsPlatform(std::vector<ComPtr<FakeAdapter>> adapters,
                                             FakeDeviceCalls* calls,
                                             const bool* current = nullptr) {
  GraphicsPlatform platform;
  platform.createFactory = [adapters, current](IDXGIFactory1** factory) {
    *factory = MakeCom<FakeFactory>(adapters, current).Detach();
    return S_OK;
  };
  platform.createDevice = [calls](IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, UINT flags,
                                  const D3D_FEATURE_LEVEL* levels, UINT levelCount,
                                  ID3D11Device** device, D3D_FEATURE_LEVEL* level,
                                  ID3D11DeviceContext** context) -> HRESULT {
    const int index = static_cast<int>(calls->calls.size());
    calls->calls.push_back({adapter, driverType, flags, {levels, levels + levelCount}});
    if (index == calls->failAtCall) return calls->failure;
    const D3D_FEATURE_LEVEL only = calls->onlyLevel;
    const bool restricted = only != D3D_FEATURE_LEVEL{};
    return D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, flags,
                             restricted ? &only : levels, restricted ? 1 : levelCount,
                             D3D11_SDK_VERSION, device, level, context);
  };
  return platform;
}

// A BGRA texture on |device| of the given size, every pixel |fill| when
// that is not 0.
inline ComPtr<ID3D11Texture2D> MakeBgraTexture(ID3D11Device* device, UINT width, UINT height,
                                               std::uint32_t fill = 0) {
  const D3D11_TEXTURE2D_DESC desc =
      TextureDesc(width, height, DXGI_FORMAT_B8G8R8A8_UNORM,
                  D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
  ComPtr<ID3D11Texture2D> texture;
  const std::vector<std::uint32_t> pixels(fill != 0 ? std::size_t{width} * height : 0, fill);
  const D3D11_SUBRESOURCE_DATA data{pixels.data(), width * 4, 0};
  device->CreateTexture2D(&desc, fill != 0 ? &data : nullptr, texture.GetAddressOf());
  return texture;
}

// The pixels of a BGRA texture on the capture device, row after row.
inline std::vector<std::uint32_t> ReadBack(GraphicsContext& graphics, const Texture& texture) {
  GraphicsDevices* devices = graphics.devices();
  D3D11_TEXTURE2D_DESC source{};
  D3DTextureOf(texture)->GetDesc(&source);
  const D3D11_TEXTURE2D_DESC desc = StagingDesc(source);
  ComPtr<ID3D11Texture2D> staging;
  EXPECT_EQ(devices->captureDevice->CreateTexture2D(&desc, nullptr, staging.GetAddressOf()), S_OK);
  devices->captureContext->CopyResource(staging.Get(), D3DTextureOf(texture));
  D3D11_MAPPED_SUBRESOURCE mapped{};
  EXPECT_EQ(devices->captureContext->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped), S_OK);
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(desc.Width) * desc.Height);
  for (UINT y = 0; y < desc.Height; ++y) {
    const auto* row = static_cast<const std::uint32_t*>(mapped.pData) + y * (mapped.RowPitch / 4);
    std::copy(row, row + desc.Width, pixels.begin() + static_cast<std::ptrdiff_t>(y) * desc.Width);
  }
  devices->captureContext->Unmap(staging.Get(), 0);
  return pixels;
}

}  // namespace veyra::testing
