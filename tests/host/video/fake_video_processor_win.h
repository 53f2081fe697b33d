#pragma once

#include <d3d11.h>
#include <d3d11_4.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "host/capture/graphics_devices_win.h"
#include "tests/host/capture/fake_dxgi_win.h"
#include "tests/host/support/com_object_win.h"
#include "tests/host/support/d3d11_stubs_win.h"
#include "tests/host/support/d3d11_video_stubs_win.h"
#include "tests/host/support/dxgi_stubs_win.h"

namespace veyra::testing {

// What the fake capture device and its video processor are scripted with
// and record. Owned by the test; one thread.
struct FakeVideoRecord {
  // Script.
  UINT bgraSupport = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT;
  UINT nv12Support = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT;
  bool queriesDone = true;
  UINT featureCaps = D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_ROTATION;
  // ExtendedNV12SharedTextureSupported as the device reports it; -1: the
  // query fails, as on a runtime that does not know it.
  int nv12Sharing = -1;

  // Records.
  D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
  UINT rateConversionIndex = 99;
  UINT streamColourSpace = 0;
  UINT outputColourSpace = 0;
  RECT sourceRect{};
  RECT destRect{};
  RECT targetRect{};
  D3D11_VIDEO_FRAME_FORMAT frameFormat = D3D11_VIDEO_FRAME_FORMAT_INTERLACED_TOP_FIELD_FIRST;
  BOOL autoProcessing = TRUE;
  std::vector<D3D11_VIDEO_PROCESSOR_ROTATION> rotations;  // each enabled rotation set
  std::vector<D3D11_TEXTURE2D_DESC> textures;
  std::vector<DWORD> sharedAccess;
  std::vector<std::pair<HANDLE, ComPtr<ID3D11Texture2D>>> sharedTextures;  // by handle
  int copies = 0;
  int inputViews = 0;
  int outputViews = 0;
  int queries = 0;
  int endedQueries = 0;
  int flushes = 0;
  struct Blt {
    ID3D11VideoProcessorOutputView* target;
    UINT outputFrame;
    UINT streams;
    D3D11_VIDEO_PROCESSOR_STREAM stream;
  };
  std::vector<Blt> blts;
};

inline UINT ColourSpaceBits(const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* space) {
  UINT bits = 0;
  std::memcpy(&bits, space, sizeof bits);
  return bits;
}

// A shared texture's keyed mutex as DXGI documents it: AcquireSync waits
// for its key and times out with WAIT_TIMEOUT; ReleaseSync without holding
// it is an invalid call. Starts at key 0.
class FakeKeyedMutex final
    : public ComObject<StubIDXGIKeyedMutex, IDXGIObject, IDXGIDeviceSubObject, IDXGIKeyedMutex> {
 public:
  HRESULT STDMETHODCALLTYPE AcquireSync(UINT64 key, DWORD /*timeoutMs*/) override {
    if (held_ || key != key_) return static_cast<HRESULT>(WAIT_TIMEOUT);
    held_ = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseSync(UINT64 key) override {
    if (!held_) return DXGI_ERROR_INVALID_CALL;
    held_ = false;
    key_ = key;
    return S_OK;
  }

 private:
  bool held_ = false;
  UINT64 key_ = 0;
};

class FakeSharedResource final
    : public ComObject<StubIDXGIResource1, IDXGIObject, IDXGIDeviceSubObject, IDXGIResource,
                       IDXGIResource1> {
 public:
  FakeSharedResource(FakeVideoRecord* record, ComPtr<ID3D11Texture2D> texture)
      : record_(record), texture_(std::move(texture)) {}
  HRESULT STDMETHODCALLTYPE CreateSharedHandle(const SECURITY_ATTRIBUTES* /*attributes*/,
                                               DWORD access, const WCHAR* /*name*/,
                                               HANDLE* handle) override {
    record_->sharedAccess.push_back(access);
    *handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // a real handle to close
    if (*handle == nullptr) return E_FAIL;
    record_->sharedTextures.emplace_back(*handle, texture_);
    return S_OK;
  }

 private:
  FakeVideoRecord* record_;
  ComPtr<ID3D11Texture2D> texture_;
};

class FakeTexture final
    : public ComObject<StubID3D11Texture2D, ID3D11DeviceChild, ID3D11Resource, ID3D11Texture2D> {
 public:
  FakeTexture(FakeVideoRecord* record, const D3D11_TEXTURE2D_DESC& desc)
      : record_(record), desc_(desc), mutex_(MakeCom<FakeKeyedMutex>()) {}
  void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) override { *desc = desc_; }

 protected:
  HRESULT QueryOther(REFIID iid, void** object) override {
    const bool shared = (desc_.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX) != 0;
    if (shared && iid == __uuidof(IDXGIKeyedMutex)) return mutex_.CopyTo(iid, object);
    if (shared && iid == __uuidof(IDXGIResource1)) {
      *object = MakeCom<FakeSharedResource>(record_, this).Detach();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

 private:
  FakeVideoRecord* record_;
  D3D11_TEXTURE2D_DESC desc_;
  ComPtr<FakeKeyedMutex> mutex_;
};

class FakeQuery final
    : public ComObject<StubID3D11Query, ID3D11DeviceChild, ID3D11Asynchronous, ID3D11Query> {
 public:
  UINT STDMETHODCALLTYPE GetDataSize() override { return sizeof(BOOL); }
};

class FakeInputView final : public ComObject<StubID3D11VideoProcessorInputView, ID3D11DeviceChild,
                                             ID3D11View, ID3D11VideoProcessorInputView> {};
class FakeOutputView final : public ComObject<StubID3D11VideoProcessorOutputView, ID3D11DeviceChild,
                                              ID3D11View, ID3D11VideoProcessorOutputView> {};
class FakeProcessor final
    : public ComObject<StubID3D11VideoProcessor, ID3D11DeviceChild, ID3D11VideoProcessor> {};

class FakeEnumerator final : public ComObject<StubID3D11VideoProcessorEnumerator, ID3D11DeviceChild,
                                              ID3D11VideoProcessorEnumerator> {
 public:
  explicit FakeEnumerator(FakeVideoRecord* record) : record_(record) {}
  HRESULT STDMETHODCALLTYPE CheckVideoProcessorFormat(DXGI_FORMAT format, UINT* flags) override {
    *flags = format == DXGI_FORMAT_B8G8R8A8_UNORM ? record_->bgraSupport
             : format == DXGI_FORMAT_NV12         ? record_->nv12Support
                                                  : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetVideoProcessorCaps(D3D11_VIDEO_PROCESSOR_CAPS* caps) override {
    *caps = D3D11_VIDEO_PROCESSOR_CAPS{};
    caps->FeatureCaps = record_->featureCaps;
    return S_OK;
  }

 private:
  FakeVideoRecord* record_;
};

class FakeVideoDevice final : public ComObject<StubID3D11VideoDevice, ID3D11VideoDevice> {
 public:
  explicit FakeVideoDevice(FakeVideoRecord* record) : record_(record) {}
  HRESULT STDMETHODCALLTYPE
  CreateVideoProcessorEnumerator(const D3D11_VIDEO_PROCESSOR_CONTENT_DESC* desc,
                                 ID3D11VideoProcessorEnumerator** enumerator) override {
    record_->content = *desc;
    *enumerator = MakeCom<FakeEnumerator>(record_).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessor(ID3D11VideoProcessorEnumerator* /*enumerator*/,
                                                 UINT rateConversionIndex,
                                                 ID3D11VideoProcessor** processor) override {
    record_->rateConversionIndex = rateConversionIndex;
    *processor = MakeCom<FakeProcessor>().Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorInputView(
      ID3D11Resource* resource, ID3D11VideoProcessorEnumerator* enumerator,
      const D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC* desc,
      ID3D11VideoProcessorInputView** view) override {
    if (resource == nullptr || enumerator == nullptr ||
        desc->ViewDimension != D3D11_VPIV_DIMENSION_TEXTURE2D) {
      return E_INVALIDARG;
    }
    ++record_->inputViews;
    *view = MakeCom<FakeInputView>().Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateVideoProcessorOutputView(
      ID3D11Resource* resource, ID3D11VideoProcessorEnumerator* enumerator,
      const D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC* desc,
      ID3D11VideoProcessorOutputView** view) override {
    if (resource == nullptr || enumerator == nullptr ||
        desc->ViewDimension != D3D11_VPOV_DIMENSION_TEXTURE2D) {
      return E_INVALIDARG;
    }
    ++record_->outputViews;
    *view = MakeCom<FakeOutputView>().Detach();
    return S_OK;
  }

 private:
  FakeVideoRecord* record_;
};

class FakeVideoContext final
    : public ComObject<StubID3D11VideoContext, ID3D11DeviceChild, ID3D11VideoContext> {
 public:
  explicit FakeVideoContext(FakeVideoRecord* record) : record_(record) {}
  void STDMETHODCALLTYPE VideoProcessorSetStreamFrameFormat(
      ID3D11VideoProcessor*, UINT, D3D11_VIDEO_FRAME_FORMAT format) override {
    record_->frameFormat = format;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamAutoProcessingMode(ID3D11VideoProcessor*, UINT,
                                                                   BOOL enable) override {
    record_->autoProcessing = enable;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamRotation(
      ID3D11VideoProcessor*, UINT, BOOL enable, D3D11_VIDEO_PROCESSOR_ROTATION rotation) override {
    if (enable) record_->rotations.push_back(rotation);
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamSourceRect(ID3D11VideoProcessor*, UINT, BOOL,
                                                           const RECT* rect) override {
    record_->sourceRect = *rect;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamDestRect(ID3D11VideoProcessor*, UINT, BOOL,
                                                         const RECT* rect) override {
    record_->destRect = *rect;
  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputTargetRect(ID3D11VideoProcessor*, BOOL,
                                                           const RECT* rect) override {
    record_->targetRect = *rect;
  }
  void STDMETHODCALLTYPE VideoProcessorSetStreamColorSpace(
      ID3D11VideoProcessor*, UINT, const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* space) override {
    record_->streamColourSpace = ColourSpaceBits(space);
  }
  void STDMETHODCALLTYPE VideoProcessorSetOutputColorSpace(
      ID3D11VideoProcessor*, const D3D11_VIDEO_PROCESSOR_COLOR_SPACE* space) override {
    record_->outputColourSpace = ColourSpaceBits(space);
  }
  HRESULT STDMETHODCALLTYPE VideoProcessorBlt(ID3D11VideoProcessor* /*processor*/,
                                              ID3D11VideoProcessorOutputView* view,
                                              UINT outputFrame, UINT streams,
                                              const D3D11_VIDEO_PROCESSOR_STREAM* stream) override {
    record_->blts.push_back({view, outputFrame, streams, *stream});
    return S_OK;
  }

 private:
  FakeVideoRecord* record_;
};

class FakeD3DContext final
    : public ComObject<StubID3D11DeviceContext, ID3D11DeviceChild, ID3D11DeviceContext> {
 public:
  FakeD3DContext(FakeVideoRecord* record, ComPtr<ID3D11Device> device)
      : record_(record), device_(std::move(device)), video_(MakeCom<FakeVideoContext>(record)) {}
  void STDMETHODCALLTYPE GetDevice(ID3D11Device** device) override { device_.CopyTo(device); }
  void STDMETHODCALLTYPE CopyResource(ID3D11Resource* target, ID3D11Resource* source) override {
    if (target != nullptr && source != nullptr && target != source) ++record_->copies;
  }
  void STDMETHODCALLTYPE End(ID3D11Asynchronous* /*async*/) override { ++record_->endedQueries; }
  HRESULT STDMETHODCALLTYPE GetData(ID3D11Asynchronous*, void* data, UINT size, UINT) override {
    if (size != sizeof(BOOL)) return E_INVALIDARG;
    *static_cast<BOOL*>(data) = record_->queriesDone;
    return record_->queriesDone ? S_OK : S_FALSE;
  }
  void STDMETHODCALLTYPE Flush() override { ++record_->flushes; }

 protected:
  HRESULT QueryOther(REFIID iid, void** object) override {
    if (iid == __uuidof(ID3D11VideoContext)) return video_.CopyTo(iid, object);
    return E_NOINTERFACE;
  }

 private:
  FakeVideoRecord* record_;
  ComPtr<ID3D11Device> device_;
  ComPtr<FakeVideoContext> video_;
};

// A device of the fake adapter. Opening a shared handle gives the very
// texture behind it, and so the same keyed mutex, as two devices on one
// adapter share one resource.
class FakeD3DDevice final : public ComObject<StubID3D11Device1, ID3D11Device, ID3D11Device1> {
 public:
  explicit FakeD3DDevice(FakeVideoRecord* record)
      : record_(record), video_(MakeCom<FakeVideoDevice>(record)) {}
  HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc,
                                            const D3D11_SUBRESOURCE_DATA* /*initial*/,
                                            ID3D11Texture2D** texture) override {
    record_->textures.push_back(*desc);
    *texture = MakeCom<FakeTexture>(record_, *desc).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CheckFeatureSupport(D3D11_FEATURE feature, void* data,
                                                UINT size) override {
    if (feature != D3D11_FEATURE_D3D11_OPTIONS4 || record_->nv12Sharing < 0 ||
        size != sizeof(D3D11_FEATURE_DATA_D3D11_OPTIONS4)) {
      return E_INVALIDARG;
    }
    static_cast<D3D11_FEATURE_DATA_D3D11_OPTIONS4*>(data)->ExtendedNV12SharedTextureSupported =
        record_->nv12Sharing != 0 ? TRUE : FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateQuery(const D3D11_QUERY_DESC* desc,
                                        ID3D11Query** query) override {
    if (desc->Query != D3D11_QUERY_EVENT) return E_INVALIDARG;
    ++record_->queries;
    *query = MakeCom<FakeQuery>().Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OpenSharedResource1(HANDLE handle, REFIID iid, void** object) override {
    *object = nullptr;
    for (const auto& [shared, texture] : record_->sharedTextures) {
      if (shared == handle) return texture->QueryInterface(iid, object);
    }
    return E_INVALIDARG;
  }

 protected:
  HRESULT QueryOther(REFIID iid, void** object) override {
    if (iid == __uuidof(ID3D11VideoDevice)) return video_.CopyTo(iid, object);
    return E_NOINTERFACE;
  }

 private:
  FakeVideoRecord* record_;
  ComPtr<FakeVideoDevice> video_;
};

// A context whose devices are fakes with a video processor, on a fake
// adapter.
inline GraphicsPlatform FakeVideoPlatform(FakeVideoRecord* record) {
  GraphicsPlatform platform;
  platform.createFactory = [](IDXGIFactory1** factory) {
    *factory = MakeCom<FakeFactory>(
                   std::vector<ComPtr<FakeAdapter>>{MakeCom<FakeAdapter>(FakeAdapterSpec{})})
                   .Detach();
    return S_OK;
  };
  platform.createDevice = [record](IDXGIAdapter*, D3D_DRIVER_TYPE, UINT, const D3D_FEATURE_LEVEL*,
                                   UINT, ID3D11Device** device, D3D_FEATURE_LEVEL* level,
                                   ID3D11DeviceContext** context) -> HRESULT {
    ComPtr<FakeD3DDevice> made = MakeCom<FakeD3DDevice>(record);
    *context = MakeCom<FakeD3DContext>(record, made).Detach();
    *device = made.Detach();
    *level = D3D_FEATURE_LEVEL_11_1;
    return S_OK;
  };
  return platform;
}

}  // namespace veyra::testing
