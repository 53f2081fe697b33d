#include "host/video/mf_transform_win.h"

#include <codecapi.h>
#include <d3d11_1.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_devices_win.h"
#include "host/capture/texture_desc_win.h"
#include "host/video/dxgi_keyed_mutex_win.h"
#include "host/video/local_surface_win.h"
#include "host/video/mf_codec_settings_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kMaxStreams = 8;
constexpr DWORD kDefaultOutputBytes = 1048576;
constexpr UINT32 kProgressive = MFVideoInterlace_Progressive;  // 2
constexpr UINT32 kHighProfile = eAVEncH264VProfile_High;       // 100

void LogFailure(const char* step, HRESULT result) {
  Log(LogLevel::Error, "%s failed: %s", step, HresultText(result).c_str());
}

MFT_MESSAGE_TYPE MessageType(TransformMessage message) {
  switch (message) {
    case TransformMessage::kBeginStreaming:
      return MFT_MESSAGE_NOTIFY_BEGIN_STREAMING;
    case TransformMessage::kStartOfStream:
      return MFT_MESSAGE_NOTIFY_START_OF_STREAM;
    case TransformMessage::kCommandFlush:
      return MFT_MESSAGE_COMMAND_FLUSH;
    case TransformMessage::kEndOfStream:
      return MFT_MESSAGE_NOTIFY_END_OF_STREAM;
    case TransformMessage::kEndStreaming:
      break;
  }
  return MFT_MESSAGE_NOTIFY_END_STREAMING;
}

// Sets the size, rate, aspect and colour attributes both media types carry.
// The colour is what the converter produces, limited-range BT.709, so that
// the encoder signals it in the SPS's video usability information.
HRESULT SetPictureAttributes(IMFMediaType* type, const EncoderConfig& config) {
  HRESULT result = type->SetUINT32(MF_MT_INTERLACE_MODE, kProgressive);
  if (SUCCEEDED(result))
    result = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, config.width, config.height);
  if (SUCCEEDED(result)) result = MFSetAttributeRatio(type, MF_MT_FRAME_RATE, FrameRate(config), 1);
  if (SUCCEEDED(result)) result = MFSetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(result)) result = type->SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
  if (SUCCEEDED(result)) result = type->SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709);
  if (SUCCEEDED(result)) result = type->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  if (SUCCEEDED(result)) result = type->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
  return result;
}

}  // namespace

MfTransform::MfTransform(ComPtr<IMFTransform> transform, ComPtr<IMFActivate> activate,
                         std::string name, bool hardware, bool async, GraphicsContext& graphics)
    : graphics_(graphics),
      name_(std::move(name)),
      hardware_(hardware),
      async_(async),
      activate_(std::move(activate)),
      transform_(std::move(transform)) {
  transform_.As(&codecApi_);
  // Hardware and asynchronous transforms are driven by their events (an
  // asynchronous MFT asks for input only through METransformNeedInput); a
  // missing generator makes VideoEncoder refuse the transform.
  if (hardware_ || async_) transform_.As(&events_);
}

// The transform made by an activation object is shut down through it once
// every reference of ours is gone ("IMFActivate::ShutdownObject"); the
// device manager it may still point at goes last.
MfTransform::~MfTransform() {
  watch_.reset();
  sample_.Reset();
  surfaces_.clear();
  encoderContext_.Reset();
  codecApi_.Reset();
  events_.Reset();
  transform_.Reset();
  if (activate_) activate_->ShutdownObject();
  activate_.Reset();
  deviceManager_.Reset();
}

std::int32_t MfTransform::Configure(const EncoderConfig& config, const char** failedStep) {
  config_ = config;
  DWORD inputs = 0;
  DWORD outputs = 0;
  if (SUCCEEDED(transform_->GetStreamCount(&inputs, &outputs)) && inputs > 0 && outputs > 0) {
    DWORD inputIds[kMaxStreams] = {};
    DWORD outputIds[kMaxStreams] = {};
    // E_NOTIMPL is the usual answer: a fixed stream count numbered from 0.
    if (SUCCEEDED(transform_->GetStreamIDs(std::min(inputs, kMaxStreams), inputIds,
                                           std::min(outputs, kMaxStreams), outputIds))) {
      inputStreamId_ = inputIds[0];
      outputStreamId_ = outputIds[0];
    }
  }
  if (GraphicsDevices* devices = graphics_.devices()) encoderContext_ = devices->encoderContext;
  const HRESULT result = SetMediaTypes();
  if (FAILED(result)) {
    *failedStep = "media types";
    return result;
  }
  return S_OK;
}

std::int32_t MfTransform::BindDevice() {
  if (GraphicsDevices* devices = graphics_.devices()) encoderContext_ = devices->encoderContext;
  return hardware_ ? BindD3DManager() : S_OK;
}

HRESULT MfTransform::BindD3DManager() {
  deviceManager_.Reset();
  GraphicsDevices* devices = graphics_.devices();
  if (devices == nullptr || !devices->encoderDevice) return status::kInvalidStateHresult;
  HRESULT result = MFCreateDXGIDeviceManager(&resetToken_, deviceManager_.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("MFCreateDXGIDeviceManager", result);
    return result;
  }
  result = deviceManager_->ResetDevice(devices->encoderDevice.Get(), resetToken_);
  if (FAILED(result)) {
    LogFailure("IMFDXGIDeviceManager::ResetDevice", result);
    return result;
  }
  result = transform_->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER,
                                      reinterpret_cast<ULONG_PTR>(deviceManager_.Get()));
  if (FAILED(result)) {
    // Its samples would be this adapter's textures, which a hardware
    // encoder without the device cannot read: the next candidate is tried.
    Log(LogLevel::Warn, "hardware encoder %s refused the D3D manager (%s); skipping it",
        name_.c_str(), HresultText(result).c_str());
    deviceManager_.Reset();
    return result;
  }
  return S_OK;
}

HRESULT MfTransform::SetMediaTypes() {
  // The output type first: an encoder offers input types only once it knows
  // what it is to produce.
  ComPtr<IMFMediaType> output;
  HRESULT result = MFCreateMediaType(output.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("MFCreateMediaType(output)", result);
    return result;
  }
  output->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  output->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  output->SetUINT32(MF_MT_AVG_BITRATE, config_.bitrate);
  output->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 0);
  output->SetUINT32(MF_MT_MPEG2_PROFILE, kHighProfile);
  // The level asked for, not left to the encoder: the stream's
  // configuration is sent before a hardware encoder has told its sequence
  // header, and must name the level the stream keeps to (MF_MT_VIDEO_LEVEL,
  // an alias of MF_MT_MPEG2_LEVEL: the default is this same minimum).
  output->SetUINT32(MF_MT_MPEG2_LEVEL, MinimumLevelIdc(config_));
  SetPictureAttributes(output.Get(), config_);
  result = transform_->SetOutputType(outputStreamId_, output.Get(), 0);
  if (FAILED(result)) {
    LogFailure("SetOutputType", result);
    return result;
  }

  ComPtr<IMFMediaType> input;
  result = MFCreateMediaType(input.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("MFCreateMediaType(input)", result);
    return result;
  }
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  input->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  SetPictureAttributes(input.Get(), config_);
  result = transform_->SetInputType(inputStreamId_, input.Get(), 0);
  if (FAILED(result)) {
    LogFailure("SetInputType", result);
    return result;
  }
  return S_OK;
}

std::vector<std::uint8_t> MfTransform::SequenceHeaderOfType() {
  ComPtr<IMFMediaType> current;
  if (FAILED(transform_->GetOutputCurrentType(outputStreamId_, current.GetAddressOf()))) return {};
  UINT32 size = 0;
  if (FAILED(current->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &size)) || size == 0) return {};
  std::vector<std::uint8_t> header(size);
  if (FAILED(current->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), size, &size))) return {};
  header.resize(size);
  return header;
}

std::int32_t MfTransform::ApplySetting(const CodecSetting& setting) {
  if (!codecApi_) return E_NOINTERFACE;
  return ApplyCodecSetting(codecApi_.Get(), setting);
}

std::int32_t MfTransform::ProcessMessage(TransformMessage message) {
  return transform_->ProcessMessage(MessageType(message), 0);
}

std::int32_t MfTransform::OpenSurface(std::size_t slot, SharedHandle handle, std::uint32_t width,
                                      std::uint32_t height,
                                      std::shared_ptr<KeyedMutex>* keyedMutex) {
  if (!encoderContext_) return status::kInvalidStateHresult;
  if (surfaces_.size() <= slot) surfaces_.resize(slot + 1);
  Surface& surface = surfaces_[slot];
  surface = Surface{};

  ComPtr<ID3D11Device> device;
  encoderContext_->GetDevice(device.GetAddressOf());
  std::shared_ptr<KeyedMutex> lock;
  GraphicsDevices* devices = graphics_.devices();
  HRESULT result = S_OK;
  if (devices != nullptr && !devices->sharedNv12) {
    // One device: the slot's texture itself, and its in-process lock.
    surface.sharedTexture = LocalSurfaceOf(handle)->texture;
    lock = LocalSurfaceOf(handle)->lock;
  } else {
    ComPtr<ID3D11Device1> device1;
    result = device.As(&device1);
    if (FAILED(result)) {
      LogFailure("ID3D11Device1 query", result);
      return result;
    }
    result =
        device1->OpenSharedResource1(handle, IID_PPV_ARGS(surface.sharedTexture.GetAddressOf()));
    if (FAILED(result)) {
      LogFailure("OpenSharedResource1(NV12)", result);
      return result;
    }
    ComPtr<IDXGIKeyedMutex> mutex;
    result = surface.sharedTexture.As(&mutex);
    if (FAILED(result)) {
      LogFailure("IDXGIKeyedMutex query", result);
      return result;
    }
    lock = std::make_shared<DxgiKeyedMutex>(std::move(mutex));
  }
  const D3D11_TEXTURE2D_DESC desc = TextureDesc(
      width, height, DXGI_FORMAT_NV12, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE);
  result = device->CreateTexture2D(&desc, nullptr, surface.localTexture.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("CreateTexture2D(encoder-local NV12)", result);
    return result;
  }
  *keyedMutex = std::move(lock);
  return S_OK;
}

bool MfTransform::WatchEvents(std::function<void()> onEvent) {
  if (!events_) return false;
  watch_ = std::make_unique<MfEventWatch>(events_, std::move(onEvent));
  const HRESULT result = watch_->Start();
  if (SUCCEEDED(result)) return true;
  // The generator still answers GetEvent: the pump polls it as before.
  Log(LogLevel::Warn, "encoder BeginGetEvent failed (%s); polling its events instead",
      HresultText(result).c_str());
  watch_.reset();
  return false;
}

std::int32_t MfTransform::GetEvent(std::uint32_t* type, bool* typeKnown,
                                   std::int32_t* eventStatus) {
  *typeKnown = false;
  *eventStatus = S_OK;
  if (!events_) return MF_E_NO_EVENTS_AVAILABLE;
  ComPtr<IMFMediaEvent> event;
  const HRESULT result = watch_ ? watch_->Take(&event)
                                : events_->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf());
  if (FAILED(result)) return result;
  MediaEventType eventType = 0;
  if (SUCCEEDED(event->GetType(&eventType))) {
    *type = eventType;
    *typeKnown = true;
  }
  HRESULT status = S_OK;
  if (SUCCEEDED(event->GetStatus(&status))) *eventStatus = status;
  return S_OK;
}

std::int32_t MfTransform::GetInputStatus(bool* acceptsData) {
  DWORD flags = 0;
  const HRESULT result = transform_->GetInputStatus(inputStreamId_, &flags);
  *acceptsData = SUCCEEDED(result) && (flags & MFT_INPUT_STATUS_ACCEPT_DATA) != 0;
  return result;
}

std::int32_t MfTransform::CopySurface(std::size_t slot) {
  if (slot >= surfaces_.size() || !surfaces_[slot].localTexture || !encoderContext_) {
    return status::kInvalidStateHresult;
  }
  encoderContext_->CopyResource(surfaces_[slot].localTexture.Get(),
                                surfaces_[slot].sharedTexture.Get());
  return S_OK;
}

std::int32_t MfTransform::MakeSample(std::size_t slot, std::uint64_t frameId) {
  sample_.Reset();
  if (slot >= surfaces_.size() || !surfaces_[slot].localTexture) {
    return status::kInvalidStateHresult;
  }
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT result =
      MFCreateDXGISurfaceBuffer(__uuidof(ID3D11Texture2D), surfaces_[slot].localTexture.Get(), 0,
                                FALSE, buffer.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("MFCreateDXGISurfaceBuffer", result);
    return result;
  }
  ComPtr<IMF2DBuffer> buffer2d;
  DWORD length = 0;
  if (SUCCEEDED(buffer.As(&buffer2d)) && SUCCEEDED(buffer2d->GetContiguousLength(&length))) {
    buffer->SetCurrentLength(length);
  }
  ComPtr<IMFSample> sample;
  result = MFCreateSample(sample.GetAddressOf());
  if (FAILED(result)) {
    LogFailure("MFCreateSample", result);
    return result;
  }
  result = sample->AddBuffer(buffer.Get());
  if (FAILED(result)) {
    LogFailure("IMFSample::AddBuffer", result);
    return result;
  }
  const SampleTiming timing = SampleTimingOf(frameId, config_.fps);
  sample->SetSampleTime(timing.time);
  sample->SetSampleDuration(timing.duration);
  sample_ = std::move(sample);
  return S_OK;
}

std::int32_t MfTransform::ProcessInput() {
  const ComPtr<IMFSample> sample = std::move(sample_);
  if (!sample) return status::kInvalidStateHresult;
  return transform_->ProcessInput(inputStreamId_, sample.Get(), 0);
}

std::int32_t MfTransform::ProcessOutput(std::vector<std::uint8_t>* accessUnit, OutputKind* kind) {
  *kind = OutputKind::kNone;
  lastOutputId_.reset();
  MFT_OUTPUT_STREAM_INFO info{};
  const bool provides = SUCCEEDED(transform_->GetOutputStreamInfo(outputStreamId_, &info)) &&
                        (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES |
                                         MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
  ComPtr<IMFSample> sample;
  if (!provides) {
    ComPtr<IMFMediaBuffer> buffer;
    HRESULT result = MFCreateMemoryBuffer(info.cbSize != 0 ? info.cbSize : kDefaultOutputBytes,
                                          buffer.GetAddressOf());
    if (FAILED(result)) {
      LogFailure("MFCreateMemoryBuffer", result);
      *kind = OutputKind::kAllocationFailed;
      return result;
    }
    result = MFCreateSample(sample.GetAddressOf());
    if (SUCCEEDED(result)) result = sample->AddBuffer(buffer.Get());
    if (FAILED(result)) {
      LogFailure("MFCreateSample(output)", result);
      *kind = OutputKind::kAllocationFailed;
      return result;
    }
  }

  MFT_OUTPUT_DATA_BUFFER output{};
  output.dwStreamID = outputStreamId_;
  output.pSample = sample.Get();
  DWORD outputStatus = 0;
  const HRESULT result = transform_->ProcessOutput(0, 1, &output, &outputStatus);
  if (output.pEvents != nullptr) output.pEvents->Release();
  // A sample the transform provides is the caller's reference to release.
  if (provides && output.pSample != nullptr) sample.Attach(output.pSample);
  if (FAILED(result)) return result;
  if (!sample) return S_OK;

  ComPtr<IMFMediaBuffer> contiguous;
  BYTE* data = nullptr;
  DWORD length = 0;
  if (FAILED(sample->ConvertToContiguousBuffer(contiguous.GetAddressOf())) ||
      FAILED(contiguous->Lock(&data, nullptr, &length))) {
    *kind = OutputKind::kLost;
    return S_OK;
  }
  accessUnit->assign(data, data + length);
  contiguous->Unlock();
  *kind = OutputKind::kSample;
  // The output keeps its input's sample time (MakeSample's frame id times
  // the duration), which tells which input it was made from.
  LONGLONG time = 0;
  if (SUCCEEDED(sample->GetSampleTime(&time))) lastOutputId_ = FrameIdAt(time, config_.fps);
  return S_OK;
}

// "Handling Stream Changes": the client picks a new output type from
// those the transform offers; one still H.264 at our size keeps the stream
// the receiver was configured for.
std::int32_t MfTransform::RenegotiateOutput() {
  ComPtr<IMFMediaType> first;
  ComPtr<IMFMediaType> matching;
  for (DWORD index = 0; !matching; ++index) {
    ComPtr<IMFMediaType> offered;
    if (FAILED(
            transform_->GetOutputAvailableType(outputStreamId_, index, offered.GetAddressOf()))) {
      break;
    }
    if (!first) first = offered;
    GUID subtype{};
    UINT32 width = 0;
    UINT32 height = 0;
    const bool h264 =
        SUCCEEDED(offered->GetGUID(MF_MT_SUBTYPE, &subtype)) && subtype == MFVideoFormat_H264;
    const bool sized =
        SUCCEEDED(MFGetAttributeSize(offered.Get(), MF_MT_FRAME_SIZE, &width, &height));
    if (h264 && (!sized || (width == config_.width && height == config_.height))) {
      matching = offered;
    }
  }
  IMFMediaType* chosen = matching ? matching.Get() : first.Get();
  if (chosen == nullptr) return MF_E_NO_MORE_TYPES;
  return transform_->SetOutputType(outputStreamId_, chosen, 0);
}

void MfTransform::PumpThreadStarted() {
  comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
}

void MfTransform::PumpThreadStopping() {
  if (comInitialised_) CoUninitialize();
  comInitialised_ = false;
}

void MfTransform::Shutdown() {
  ComPtr<IMFShutdown> shutdown;
  if (SUCCEEDED(transform_.As(&shutdown))) shutdown->Shutdown();
  // The pending request ends with the shutdown; nothing is told any more.
  watch_.reset();
}

}  // namespace veyra
