#pragma once

#include <mfapi.h>
#include <mfidl.h>
#include <mftransform.h>
#include <windows.h>

#include <functional>
#include <memory>

#include "host/video/encoder_backend.h"

namespace veyra {

// The Media Foundation calls the encoder's choice starts from, apart so that
// tests can hand it encoders of their own.
struct MediaFoundationPlatform {
  std::function<HRESULT()> startup;  // MFStartup, lite
  std::function<void()> shutdown;    // MFShutdown
  // MFTEnumEx's parameters; the caller releases the activation objects and
  // frees the array with CoTaskMemFree.
  std::function<HRESULT(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                        const MFT_REGISTER_TYPE_INFO* output, IMFActivate*** activates,
                        UINT32* count)>
      enumerate;
  // MFTEnum2's, the same with the attributes that choose an adapter; empty
  // where the system has none (before Windows 10 1703).
  std::function<HRESULT(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                        const MFT_REGISTER_TYPE_INFO* output, IMFAttributes* attributes,
                        IMFActivate*** activates, UINT32* count)>
      enumerateOnAdapter;
};

// MFT_ENUM_ADAPTER_LUID, which the MinGW headers lack: the LUID of the
// adapter whose hardware transforms MFTEnum2 is to list.
inline constexpr GUID kMftEnumAdapterLuid = {
    0x1d39518c, 0xe220, 0x4da8, {0xa0, 0x7f, 0xba, 0x17, 0x25, 0x52, 0xd6, 0xb1}};

const MediaFoundationPlatform& SystemMediaFoundationPlatform();

// The encoder back end on |platform|, which must outlive it.
std::unique_ptr<EncoderBackend> CreateMediaFoundationBackend(
    const MediaFoundationPlatform& platform);

}  // namespace veyra
