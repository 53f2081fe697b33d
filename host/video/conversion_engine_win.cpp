// The colour converter's engine on the Direct3D 11 video processor of the
// capture device: fixed-function scaling and BGRA -> NV12 conversion, no
// shaders. Slots are NV12 textures shared with the encoder's device through
// an NT handle, each with its keyed mutex and an event query.

#include <d3d11.h>
#include <d3d11_1.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/scoped_handle_win.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_devices_win.h"
#include "host/capture/texture_desc_win.h"
#include "host/video/conversion_engine.h"
#include "host/video/dxgi_keyed_mutex_win.h"
#include "host/video/input_view_cache.h"
#include "host/video/local_surface_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

// Colour spaces as the video processor's bit fields: full-range RGB for
// playback (Usage 0, RGB_Range 0 = 0-255, YCbCr_Matrix 1 = BT.709,
// Nominal_Range 2 = 0-255) in, limited-range BT.709 YCbCr (Nominal_Range
// 1 = 16-235) out.
constexpr UINT kInputColourSpaceBits = 0x24;
constexpr UINT kOutputColourSpaceBits = 0x14;
constexpr UINT kSlotBindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;  // 0x28
constexpr UINT kSlotMiscFlags =
    D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE;  // 0x900
constexpr DWORD kSharedAccess = DXGI_SHARED_RESOURCE_READ | DXGI_SHARED_RESOURCE_WRITE;

void LogFailure(const char* step, HRESULT result) {
  Log(LogLevel::Error, "%s failed: %s", step, HresultText(result).c_str());
}

D3D11_VIDEO_PROCESSOR_COLOR_SPACE ColourSpace(UINT bits) {
  static_assert(sizeof(D3D11_VIDEO_PROCESSOR_COLOR_SPACE) == sizeof(UINT));
  D3D11_VIDEO_PROCESSOR_COLOR_SPACE space{};
  std::memcpy(&space, &bits, sizeof bits);
  return space;
}

// What the engine made for one pool slot, besides the texture and the
// keyed mutex the slot itself holds.
struct SlotObjects {
  const void* identity = nullptr;  // the slot texture's
  ComPtr<ID3D11Texture2D> texture;
  ComPtr<ID3D11VideoProcessorOutputView> outputView;
  ComPtr<ID3D11Query> query;
  std::unique_ptr<LocalSurface> local;  // what the handle points at when nothing is shared
};

class VideoProcessorEngine final : public ConversionEngine {
 public:
  std::int32_t Init(GraphicsContext& graphics, std::uint32_t inputWidth, std::uint32_t inputHeight,
                    std::uint32_t outputWidth, std::uint32_t outputHeight) override {
    Shutdown();
    GraphicsDevices* devices = graphics.devices();
    if (devices == nullptr || !devices->captureDevice) return status::kInvalidStateHresult;
    device_ = devices->captureDevice;
    context_ = devices->captureContext;
    shared_ = devices->sharedNv12;
    outputWidth_ = outputWidth;
    outputHeight_ = outputHeight;

    HRESULT result = device_.As(&videoDevice_);
    if (FAILED(result)) {
      LogFailure("ID3D11VideoDevice query", result);
      return result;
    }
    result = context_.As(&videoContext_);
    if (FAILED(result)) {
      LogFailure("ID3D11VideoContext query", result);
      return result;
    }

    D3D11_VIDEO_PROCESSOR_CONTENT_DESC content{};
    content.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
    content.InputWidth = inputWidth;
    content.InputHeight = inputHeight;
    content.OutputWidth = outputWidth;
    content.OutputHeight = outputHeight;
    content.Usage = D3D11_VIDEO_USAGE_OPTIMAL_SPEED;
    result = videoDevice_->CreateVideoProcessorEnumerator(&content, enumerator_.GetAddressOf());
    if (FAILED(result)) {
      LogFailure("CreateVideoProcessorEnumerator", result);
      return result;
    }

    UINT bgra = 0;
    UINT nv12 = 0;
    if (FAILED(enumerator_->CheckVideoProcessorFormat(DXGI_FORMAT_B8G8R8A8_UNORM, &bgra)) ||
        (bgra & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT) == 0) {
      Log(LogLevel::Error,
          "GPU cannot take BGRA as VideoProcessor input; a shader path is required here");
      return E_NOTIMPL;
    }
    if (FAILED(enumerator_->CheckVideoProcessorFormat(DXGI_FORMAT_NV12, &nv12)) ||
        (nv12 & D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT) == 0) {
      Log(LogLevel::Error,
          "GPU cannot produce NV12 from VideoProcessor; a shader path is required here");
      return E_NOTIMPL;
    }

    result = videoDevice_->CreateVideoProcessor(enumerator_.Get(), 0, processor_.GetAddressOf());
    if (FAILED(result)) {
      LogFailure("CreateVideoProcessor", result);
      return result;
    }
    Configure(inputWidth, inputHeight);
    // Without them the converter polls the queries instead.
    if (SUCCEEDED(device_.As(&dxgiDevice_))) {
      gpuEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    return S_OK;
  }

  // The source rectangle stays in the input's unturned coordinates, the
  // destination in the turned output's ("VideoProcessorSetStreamRotation"),
  // which is how Init set them. Optional state: only where the processor
  // reports D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_ROTATION.
  bool SetRotation(OutputRotation rotation) override {
    if (rotation == OutputRotation::kIdentity || rotation == OutputRotation::kUnspecified) {
      return true;
    }
    if (!enumerator_ || !processor_) return false;
    D3D11_VIDEO_PROCESSOR_CAPS caps{};
    const HRESULT result = enumerator_->GetVideoProcessorCaps(&caps);
    if (FAILED(result) || (caps.FeatureCaps & D3D11_VIDEO_PROCESSOR_FEATURE_CAPS_ROTATION) == 0) {
      return false;
    }
    const D3D11_VIDEO_PROCESSOR_ROTATION turn =
        rotation == OutputRotation::kRotate90    ? D3D11_VIDEO_PROCESSOR_ROTATION_90
        : rotation == OutputRotation::kRotate180 ? D3D11_VIDEO_PROCESSOR_ROTATION_180
                                                 : D3D11_VIDEO_PROCESSOR_ROTATION_270;
    videoContext_->VideoProcessorSetStreamRotation(processor_.Get(), 0, TRUE, turn);
    Log(LogLevel::Info, "video processor turns the picture by %d degrees",
        90 * static_cast<int>(turn));
    return true;
  }

  std::int32_t CreateSlot(Nv12Slot* slot) override {
    if (!device_ || !enumerator_) return status::kInvalidStateHresult;
    SlotObjects objects;
    D3D11_TEXTURE2D_DESC desc =
        TextureDesc(outputWidth_, outputHeight_, DXGI_FORMAT_NV12, kSlotBindFlags);
    desc.MiscFlags = shared_ ? kSlotMiscFlags : 0;
    HRESULT result = device_->CreateTexture2D(&desc, nullptr, objects.texture.GetAddressOf());
    if (FAILED(result)) {
      LogFailure("CreateTexture2D(NV12)", result);
      return result;
    }
    D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC viewDesc{};
    viewDesc.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
    viewDesc.Texture2D.MipSlice = 0;
    result = videoDevice_->CreateVideoProcessorOutputView(
        objects.texture.Get(), enumerator_.Get(), &viewDesc, objects.outputView.GetAddressOf());
    if (FAILED(result)) {
      LogFailure("CreateVideoProcessorOutputView", result);
      return result;
    }
    const D3D11_QUERY_DESC queryDesc{D3D11_QUERY_EVENT, 0};
    result = device_->CreateQuery(&queryDesc, objects.query.GetAddressOf());
    if (FAILED(result)) {
      LogFailure("CreateQuery(EVENT)", result);
      return result;
    }
    slot->texture =
        WrapD3DTexture(objects.texture, outputWidth_, outputHeight_, PixelFormat::kNv12);
    slot->hasQuery = true;
    objects.identity = slot->texture.Identity();
    if (!shared_) {
      objects.local = std::make_unique<LocalSurface>(
          LocalSurface{objects.texture, std::make_shared<KeyedSlotLock>()});
      slot->keyedMutex = objects.local->lock;
      slot->sharedHandle = HandleOf(objects.local.get());
      slots_.push_back(std::move(objects));
      return S_OK;
    }
    ComPtr<IDXGIKeyedMutex> mutex;
    result = objects.texture.As(&mutex);
    if (FAILED(result)) {
      LogFailure("IDXGIKeyedMutex query", result);
      return result;
    }
    ComPtr<IDXGIResource1> resource;
    result = objects.texture.As(&resource);
    if (FAILED(result)) {
      LogFailure("IDXGIResource1 query", result);
      return result;
    }
    HANDLE raw = nullptr;
    result = resource->CreateSharedHandle(nullptr, kSharedAccess, nullptr, &raw);
    ScopedHandle handle(raw);
    if (FAILED(result)) {
      LogFailure("CreateSharedHandle(NV12)", result);
      return result;
    }

    slot->keyedMutex = std::make_shared<DxgiKeyedMutex>(std::move(mutex));
    slot->sharedHandle = handle.Take();  // closed by CloseSlot
    slots_.push_back(std::move(objects));
    return S_OK;
  }

  void CloseSlot(Nv12Slot* slot) override {
    if (shared_) {
      const ScopedHandle handle(slot->sharedHandle);  // closed here
    }
    // A local surface's handle is no handle: erasing its objects frees it.
    slot->sharedHandle = nullptr;
    const void* identity = slot->texture.Identity();
    std::erase_if(slots_, [&](const SlotObjects& objects) { return objects.identity == identity; });
  }

  bool PrepareInput(const Texture& input) override { return InputView(input) != nullptr; }

  std::int32_t Blt(const Texture& input, const Nv12Slot& slot) override {
    const SlotObjects* objects = Find(slot);
    ID3D11VideoProcessorInputView* view = InputView(input);
    if (objects == nullptr || view == nullptr || !processor_) return status::kInvalidStateHresult;
    D3D11_VIDEO_PROCESSOR_STREAM stream{};
    stream.Enable = TRUE;
    stream.OutputIndex = 0;
    stream.InputFrameOrField = 0;
    stream.pInputSurface = view;
    return videoContext_->VideoProcessorBlt(processor_.Get(), objects->outputView.Get(), 0, 1,
                                            &stream);
  }

  void EndQuery(const Nv12Slot& slot) override {
    if (const SlotObjects* objects = Find(slot)) context_->End(objects->query.Get());
  }

  bool QueryDone(const Nv12Slot& slot) override {
    const SlotObjects* objects = Find(slot);
    return objects == nullptr || Done(*objects);
  }

  // IDXGIDevice2::EnqueueSetEvent sets the event once every command
  // submitted so far has completed, the conversion's among them, so the
  // capture thread sleeps in WaitForSingleObject instead of polling.
  bool AwaitQuery(const Nv12Slot& slot, std::uint64_t timeoutUs) override {
    const SlotObjects* objects = Find(slot);
    if (objects == nullptr || Done(*objects)) return true;
    if (!dxgiDevice_ || !gpuEvent_.Get() || FAILED(dxgiDevice_->EnqueueSetEvent(gpuEvent_.Get()))) {
      return false;
    }
    const auto timeoutMs =
        static_cast<DWORD>(std::min<std::uint64_t>((timeoutUs + 999) / 1000, 1000));
    WaitForSingleObject(gpuEvent_.Get(), timeoutMs);
    return Done(*objects);
  }

  void Flush() override {
    if (context_) context_->Flush();
  }

  void Shutdown() override {
    slots_.clear();
    inputViews_.Clear();
    processor_.Reset();
    enumerator_.Reset();
    videoContext_.Reset();
    videoDevice_.Reset();
    gpuEvent_.Reset();
    dxgiDevice_.Reset();
    context_.Reset();
    device_.Reset();
  }

 private:
  void Configure(std::uint32_t inputWidth, std::uint32_t inputHeight) {
    ID3D11VideoProcessor* processor = processor_.Get();
    const RECT source{0, 0, static_cast<LONG>(inputWidth), static_cast<LONG>(inputHeight)};
    const RECT target{0, 0, static_cast<LONG>(outputWidth_), static_cast<LONG>(outputHeight_)};
    videoContext_->VideoProcessorSetStreamFrameFormat(processor, 0,
                                                      D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
    videoContext_->VideoProcessorSetStreamAutoProcessingMode(processor, 0, FALSE);
    videoContext_->VideoProcessorSetStreamOutputRate(
        processor, 0, D3D11_VIDEO_PROCESSOR_OUTPUT_RATE_NORMAL, FALSE, nullptr);
    videoContext_->VideoProcessorSetStreamSourceRect(processor, 0, TRUE, &source);
    videoContext_->VideoProcessorSetStreamDestRect(processor, 0, TRUE, &target);
    videoContext_->VideoProcessorSetOutputTargetRect(processor, TRUE, &target);
    const D3D11_VIDEO_PROCESSOR_COLOR_SPACE input = ColourSpace(kInputColourSpaceBits);
    const D3D11_VIDEO_PROCESSOR_COLOR_SPACE output = ColourSpace(kOutputColourSpaceBits);
    videoContext_->VideoProcessorSetStreamColorSpace(processor, 0, &input);
    videoContext_->VideoProcessorSetOutputColorSpace(processor, &output);
  }

  // Convert flushed the context after ending the query, so asking need not
  // flush again ("D3D11_ASYNC_GETDATA_FLAG").
  bool Done(const SlotObjects& objects) const {
    BOOL done = FALSE;
    return context_->GetData(objects.query.Get(), &done, sizeof done,
                             D3D11_ASYNC_GETDATA_DONOTFLUSH) == S_OK;
  }

  const SlotObjects* Find(const Nv12Slot& slot) const {
    const void* identity = slot.texture.Identity();
    for (const SlotObjects& objects : slots_) {
      if (objects.identity == identity) return &objects;
    }
    return nullptr;
  }

  // Keyed by the Direct3D texture, not the Texture wrapper: duplication
  // wraps the same few desktop textures anew for every frame.
  ID3D11VideoProcessorInputView* InputView(const Texture& input) {
    ID3D11Texture2D* texture = D3DTextureOf(input);
    if (texture == nullptr || !videoDevice_ || !enumerator_) return nullptr;
    ComPtr<ID3D11VideoProcessorInputView>* view =
        inputViews_.Find(texture, [&](ComPtr<ID3D11VideoProcessorInputView>* created) {
          D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC desc{};
          desc.FourCC = 0;
          desc.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
          desc.Texture2D.MipSlice = 0;
          desc.Texture2D.ArraySlice = 0;
          return SUCCEEDED(videoDevice_->CreateVideoProcessorInputView(
              texture, enumerator_.Get(), &desc, created->GetAddressOf()));
        });
    return view != nullptr ? view->Get() : nullptr;
  }

  // Released in reverse by Shutdown: slots' objects and input views first,
  // then processor, enumerator, video context and device, context, device.
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<ID3D11VideoDevice> videoDevice_;
  ComPtr<ID3D11VideoContext> videoContext_;
  ComPtr<ID3D11VideoProcessorEnumerator> enumerator_;
  ComPtr<ID3D11VideoProcessor> processor_;
  std::vector<SlotObjects> slots_;
  InputViewCache<ComPtr<ID3D11VideoProcessorInputView>> inputViews_;
  ComPtr<IDXGIDevice2> dxgiDevice_;
  ScopedHandle gpuEvent_{nullptr};  // auto-reset; set by the GPU through dxgiDevice_
  std::uint32_t outputWidth_ = 0;
  std::uint32_t outputHeight_ = 0;
  bool shared_ = true;  // slots are shared with a second device
};

}  // namespace

std::unique_ptr<ConversionEngine> CreatePlatformConversionEngine() {
  return std::make_unique<VideoProcessorEngine>();
}

}  // namespace veyra
