// The Media Foundation back end: hardware H.264 transforms first, the
// software ones as the fallback, each activated in the order the sorted
// enumeration returns them.

// First: codecapi.h declares its property ids with __uuidof only when the
// Windows headers came before it; otherwise they link to nothing.
#include <windows.h>

#include <codecapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/base/utf_conversion.h"
#include "host/video/encoder_backend.h"
#include "host/video/media_foundation_platform_win.h"
#include "host/video/mf_transform_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT32 kHardwareFlags = MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER;  // 0x44
constexpr UINT32 kSoftwareFlags =
    MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_ASYNCMFT | MFT_ENUM_FLAG_SORTANDFILTER;  // 0x43

// The array MFTEnumEx hands out: every activation object released (not
// shut down) and the array freed, whatever the walk did.
class ActivationList {
 public:
  ActivationList() = default;
  ~ActivationList() {
    for (IMFActivate* activate : span()) {
      if (activate != nullptr) activate->Release();
    }
    CoTaskMemFree(static_cast<void*>(activates_));
  }
  ActivationList(const ActivationList&) = delete;
  ActivationList& operator=(const ActivationList&) = delete;

  IMFActivate*** array() { return &activates_; }
  UINT32* count() { return &count_; }
  std::span<IMFActivate*> span() const { return {activates_, activates_ ? count_ : 0}; }

 private:
  IMFActivate** activates_ = nullptr;
  UINT32 count_ = 0;
};

std::string FriendlyName(IMFActivate* activate) {
  WCHAR* name = nullptr;
  UINT32 length = 0;
  if (FAILED(activate->GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &name, &length))) return {};
  std::string text = Utf8FromWide(std::wstring_view(name, length));
  CoTaskMemFree(name);
  return text;
}

UINT32 AttributeOrZero(IMFAttributes* attributes, const GUID& key) {
  UINT32 value = 0;
  if (attributes == nullptr || FAILED(attributes->GetUINT32(key, &value))) return 0;
  return value;
}

class MediaFoundationBackend final : public EncoderBackend {
 public:
  explicit MediaFoundationBackend(const MediaFoundationPlatform& platform) : platform_(platform) {}

  std::int32_t Startup() override { return platform_.startup(); }
  void Cleanup() override { platform_.shutdown(); }

  std::int32_t SelectEncoder(GraphicsContext& graphics, bool hardware,
                             const EncoderConfig& /*config*/,
                             std::unique_ptr<EncoderTransform>* transform,
                             std::size_t* next) override {
    ActivationList list;
    const HRESULT enumerated = Enumerate(graphics, hardware, &list);
    if (FAILED(enumerated)) return enumerated;
    if (list.span().empty()) return MF_E_TOPO_CODEC_NOT_FOUND;

    ComPtr<IMFTransform> chosen;
    ComPtr<IMFActivate> chosenActivate;
    std::string name;
    HRESULT result = MF_E_TOPO_CODEC_NOT_FOUND;
    for (; *next < list.span().size() && !chosen; ++*next) {
      IMFActivate* activate = list.span()[*next];
      if (activate == nullptr) continue;
      result = activate->ActivateObject(IID_PPV_ARGS(chosen.ReleaseAndGetAddressOf()));
      if (SUCCEEDED(result)) {
        chosenActivate = activate;
        name = FriendlyName(activate);
      }
    }
    if (!chosen) return result;

    ComPtr<IMFAttributes> attributes;
    chosen->GetAttributes(attributes.GetAddressOf());
    const UINT32 async = AttributeOrZero(attributes.Get(), MF_TRANSFORM_ASYNC);
    const UINT32 d3d11Aware = AttributeOrZero(attributes.Get(), MF_SA_D3D11_AWARE);
    Log(LogLevel::Debug, "MFT attributes: ASYNC=%u D3D11_AWARE=%u", async, d3d11Aware);
    if (async != 0) {
      // An asynchronous transform refuses every call until it is unlocked.
      const HRESULT unlocked = attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, TRUE);
      if (FAILED(unlocked)) {
        Log(LogLevel::Error, "%s failed: %s", "MF_TRANSFORM_ASYNC_UNLOCK",
            HresultText(unlocked).c_str());
        return unlocked;
      }
    } else if (hardware) {
      Log(LogLevel::Warn, "hardware MFT reports MF_TRANSFORM_ASYNC=0; event pump will idle");
    }
    if (attributes) attributes->SetUINT32(CODECAPI_AVLowLatencyMode, TRUE);

    *transform = std::make_unique<MfTransform>(std::move(chosen), std::move(chosenActivate),
                                               std::move(name), hardware, async != 0, graphics);
    return S_OK;
  }

 private:
  // Hardware transforms of the context's adapter only, where MFTEnum2 can
  // say so (MFT_ENUM_ADAPTER_LUID): on a machine with two GPUs the other
  // one's encoder cannot read this adapter's textures.
  HRESULT Enumerate(GraphicsContext& graphics, bool hardware, ActivationList* list) {
    const MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
    const UINT32 flags = hardware ? kHardwareFlags : kSoftwareFlags;
    const std::uint64_t luid = graphics.adapterLuid();
    if (!hardware || luid == 0 || !platform_.enumerateOnAdapter) {
      const HRESULT result = platform_.enumerate(MFT_CATEGORY_VIDEO_ENCODER, flags, nullptr,
                                                 &output, list->array(), list->count());
      if (FAILED(result))
        Log(LogLevel::Error, "%s failed: %s", "MFTEnumEx", HresultText(result).c_str());
      return result;
    }
    ComPtr<IMFAttributes> attributes;
    HRESULT result = MFCreateAttributes(attributes.GetAddressOf(), 1);
    LUID adapter{};
    adapter.LowPart = static_cast<DWORD>(luid & 0xFFFFFFFFu);
    adapter.HighPart = static_cast<LONG>(luid >> 32);
    if (SUCCEEDED(result)) {
      result = attributes->SetBlob(kMftEnumAdapterLuid, reinterpret_cast<const UINT8*>(&adapter),
                                   sizeof adapter);
    }
    if (SUCCEEDED(result)) {
      result = platform_.enumerateOnAdapter(MFT_CATEGORY_VIDEO_ENCODER, flags, nullptr, &output,
                                            attributes.Get(), list->array(), list->count());
    }
    if (FAILED(result))
      Log(LogLevel::Error, "%s failed: %s", "MFTEnum2", HresultText(result).c_str());
    return result;
  }

  const MediaFoundationPlatform& platform_;
};

HRESULT SystemStartup() { return MFStartup(MF_VERSION, MFSTARTUP_LITE); }
void SystemShutdown() { MFShutdown(); }
HRESULT SystemEnumerate(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                        const MFT_REGISTER_TYPE_INFO* output, IMFActivate*** activates,
                        UINT32* count) {
  return MFTEnumEx(category, flags, input, output, activates, count);
}

using MftEnum2Function = HRESULT(WINAPI*)(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*,
                                          const MFT_REGISTER_TYPE_INFO*, IMFAttributes*,
                                          IMFActivate***, UINT32*);

// MFTEnum2 from mfplat.dll, looked up because older systems lack it (and
// the MinGW import library would otherwise keep the host from starting).
MftEnum2Function SystemMftEnum2() {
  const HMODULE mfplat = GetModuleHandleW(L"mfplat.dll");
  if (mfplat == nullptr) return nullptr;
  return reinterpret_cast<MftEnum2Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(mfplat, "MFTEnum2")));
}

MediaFoundationPlatform MakeSystemPlatform() {
  MediaFoundationPlatform platform{SystemStartup, SystemShutdown, SystemEnumerate, {}};
  if (const MftEnum2Function mftEnum2 = SystemMftEnum2()) platform.enumerateOnAdapter = mftEnum2;
  return platform;
}

}  // namespace

const MediaFoundationPlatform& SystemMediaFoundationPlatform() {
  static const MediaFoundationPlatform platform = MakeSystemPlatform();
  return platform;
}

std::unique_ptr<EncoderBackend> CreateMediaFoundationBackend(
    const MediaFoundationPlatform& platform) {
  return std::make_unique<MediaFoundationBackend>(platform);
}

std::unique_ptr<EncoderBackend> CreatePlatformEncoderBackend() {
  return CreateMediaFoundationBackend(SystemMediaFoundationPlatform());
}

}  // namespace veyra
