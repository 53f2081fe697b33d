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
};

const MediaFoundationPlatform& SystemMediaFoundationPlatform();

// The encoder back end on |platform|, which must outlive it.
std::unique_ptr<EncoderBackend> CreateMediaFoundationBackend(
    const MediaFoundationPlatform& platform);

}  // namespace veyra
