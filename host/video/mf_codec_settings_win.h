#pragma once

#include <windows.h>

#include "host/video/codec_api_win.h"
#include "host/video/encoder_config.h"

namespace veyra {

// Sets one codec property through the encoder's ICodecAPI: a boolean as
// VT_BOOL TRUE, a number as VT_UI4.
HRESULT ApplyCodecSetting(ICodecAPI* codecApi, const CodecSetting& setting);

}  // namespace veyra
