#include "host/video/mf_codec_settings_win.h"

#include <oleauto.h>

#include <algorithm>

#include "host/base/log.h"

namespace veyra {
namespace {

const GUID& PropertyGuid(CodecProperty property) {
  switch (property) {
    case CodecProperty::kLowLatencyMode:
      return CODECAPI_AVLowLatencyMode;
    case CodecProperty::kCommonLowLatency:
      return CODECAPI_AVEncCommonLowLatency;
    case CodecProperty::kBPictureCount:
      return CODECAPI_AVEncMPVDefaultBPictureCount;
    case CodecProperty::kMaxNumRefFrame:
      return CODECAPI_AVEncVideoMaxNumRefFrame;
    case CodecProperty::kRateControlMode:
      return CODECAPI_AVEncCommonRateControlMode;
    case CodecProperty::kMeanBitRate:
      return CODECAPI_AVEncCommonMeanBitRate;
    case CodecProperty::kGopSize:
      return CODECAPI_AVEncMPVGOPSize;
    case CodecProperty::kQualityVsSpeed:
      return CODECAPI_AVEncCommonQualityVsSpeed;
    case CodecProperty::kRealTime:
      return CODECAPI_AVEncCommonRealTime;
    case CodecProperty::kBufferSize:
      return CODECAPI_AVEncCommonBufferSize;
    case CodecProperty::kForceKeyFrame:
      break;
  }
  return CODECAPI_AVEncVideoForceKeyFrame;
}

// The rate and the buffer change while the stream runs, and an encoder
// need not take every value: one it states a range for is kept inside it
// ("ICodecAPI::GetParameterRange"), so that a rate beyond the hardware's
// reach still moves it as far as it goes instead of being refused.
std::uint32_t ClampToRange(ICodecAPI* codecApi, const CodecSetting& setting) {
  if (setting.property != CodecProperty::kMeanBitRate &&
      setting.property != CodecProperty::kBufferSize) {
    return setting.value;
  }
  VARIANT low;
  VARIANT high;
  VARIANT step;
  VariantInit(&low);
  VariantInit(&high);
  VariantInit(&step);
  std::uint32_t value = setting.value;
  // An empty bound would convert to 0 and take the rate with it.
  const auto stated = [](const VARIANT& bound) {
    return bound.vt != VT_EMPTY && bound.vt != VT_NULL;
  };
  if (SUCCEEDED(codecApi->GetParameterRange(&PropertyGuid(setting.property), &low, &high, &step)) &&
      stated(low) && stated(high) && SUCCEEDED(VariantChangeType(&low, &low, 0, VT_UI4)) &&
      SUCCEEDED(VariantChangeType(&high, &high, 0, VT_UI4)) && high.ulVal > 0 &&
      low.ulVal <= high.ulVal) {
    value = std::clamp<std::uint32_t>(value, low.ulVal, high.ulVal);
    if (value != setting.value) {
      Log(LogLevel::Debug, "%s %u is outside the encoder's range; %u instead", setting.displayName,
          setting.value, value);
    }
  }
  VariantClear(&low);
  VariantClear(&high);
  VariantClear(&step);
  return value;
}

}  // namespace

HRESULT ApplyCodecSetting(ICodecAPI* codecApi, const CodecSetting& setting) {
  VARIANT value;
  VariantInit(&value);
  if (setting.boolean) {
    value.vt = VT_BOOL;
    value.boolVal = VARIANT_TRUE;
  } else {
    value.vt = VT_UI4;
    value.ulVal = ClampToRange(codecApi, setting);
  }
  return codecApi->SetValue(&PropertyGuid(setting.property), &value);
}

}  // namespace veyra
