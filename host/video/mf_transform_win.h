#pragma once

#include <d3d11.h>
#include <mfidl.h>
#include <mftransform.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/capture/graphics_context.h"
#include "host/video/codec_api_win.h"
#include "host/video/encoder_transform.h"
#include "host/video/mf_event_watch_win.h"

namespace veyra {

// One Media Foundation H.264 encoder transform behind the pump's interface.
// A hardware transform gets the encoder device through a DXGI device
// manager and reports its work through its event generator; a software one
// is polled. Threads as EncoderTransform.
class MfTransform final : public EncoderTransform {
 public:
  // |activate|, when given, made the transform and is shut down with it.
  MfTransform(Microsoft::WRL::ComPtr<IMFTransform> transform,
              Microsoft::WRL::ComPtr<IMFActivate> activate, std::string name, bool hardware,
              bool async, GraphicsContext& graphics);
  ~MfTransform() override;
  MfTransform(const MfTransform&) = delete;
  MfTransform& operator=(const MfTransform&) = delete;

  const std::string& name() const override { return name_; }
  bool async() const override { return async_; }
  bool HasEvents() const override { return events_ != nullptr; }
  std::int32_t BindDevice() override;
  std::int32_t Configure(const EncoderConfig& config, const char** failedStep) override;
  std::vector<std::uint8_t> SequenceHeaderOfType() override;
  bool HasCodecApi() const override { return codecApi_ != nullptr; }
  std::int32_t ApplySetting(const CodecSetting& setting) override;
  std::int32_t ProcessMessage(TransformMessage message) override;
  std::int32_t OpenSurface(std::size_t slot, SharedHandle handle, std::uint32_t width,
                           std::uint32_t height, std::shared_ptr<KeyedMutex>* keyedMutex) override;
  bool WatchEvents(std::function<void()> onEvent) override;
  std::int32_t GetEvent(std::uint32_t* type, bool* typeKnown, std::int32_t* eventStatus) override;
  std::int32_t GetInputStatus(bool* acceptsData) override;
  std::int32_t CopySurface(std::size_t slot) override;
  std::int32_t MakeSample(std::size_t slot, std::uint64_t frameId) override;
  std::int32_t ProcessInput() override;
  std::int32_t ProcessOutput(std::vector<std::uint8_t>* accessUnit, OutputKind* kind) override;
  std::optional<std::uint64_t> OutputFrameId() const override { return lastOutputId_; }
  std::int32_t RenegotiateOutput() override;
  void PumpThreadStarted() override;
  void PumpThreadStopping() override;
  void Shutdown() override;

  // Whether the transform took the device manager (hardware only).
  bool boundToDevice() const { return deviceManager_ != nullptr; }

 private:
  struct Surface {
    Microsoft::WRL::ComPtr<ID3D11Texture2D> sharedTexture;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> localTexture;  // what the transform reads
  };

  HRESULT BindD3DManager();
  HRESULT SetMediaTypes();

  GraphicsContext& graphics_;
  std::string name_;
  bool hardware_;
  bool async_;
  EncoderConfig config_;
  DWORD inputStreamId_ = 0;
  DWORD outputStreamId_ = 0;
  bool comInitialised_ = false;  // on the pump thread

  // Released in reverse: the input sample, the surfaces, the context, then
  // the codec API, the events, the transform and last the device manager
  // the transform may still point at.
  Microsoft::WRL::ComPtr<IMFDXGIDeviceManager> deviceManager_;
  UINT resetToken_ = 0;
  Microsoft::WRL::ComPtr<IMFActivate> activate_;
  Microsoft::WRL::ComPtr<IMFTransform> transform_;
  Microsoft::WRL::ComPtr<IMFMediaEventGenerator> events_;
  std::unique_ptr<MfEventWatch> watch_;  // while the pump is told of events
  Microsoft::WRL::ComPtr<ICodecAPI> codecApi_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> encoderContext_;
  std::vector<Surface> surfaces_;              // by pool slot
  Microsoft::WRL::ComPtr<IMFSample> sample_;   // made by MakeSample; pump thread only
  std::optional<std::uint64_t> lastOutputId_;  // pump thread only
};

}  // namespace veyra
