// DXGI desktop duplication of one output of the context's adapter. The
// duplicated desktop texture is handed out in place, without a copy, and
// held only between AcquireFrame and ReleaseFrame.

#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <iterator>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/graphics_devices_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

struct DesktopDuplicationSource::State {
  ComPtr<IDXGIOutputDuplication> duplication;
};

namespace {

void LogFailure(const char* step, HRESULT result) {
  Log(LogLevel::Error, "%s failed: %s", step, HresultText(result).c_str());
}

}  // namespace

DesktopDuplicationSource::DesktopDuplicationSource(GraphicsContext& graphics,
                                                   std::uint32_t outputIndex)
    : graphics_(graphics), outputIndex_(outputIndex), state_(std::make_unique<State>()) {}

DesktopDuplicationSource::~DesktopDuplicationSource() { Close(); }

const char* DesktopDuplicationSource::Name() const { return "desktop-duplication"; }

std::int32_t DesktopDuplicationSource::Open() {
  GraphicsDevices* devices = graphics_.devices();
  if (devices == nullptr || !devices->adapter || !devices->captureDevice) {
    return status::kInvalidStateHresult;
  }
  ComPtr<IDXGIOutput> output;
  HRESULT result = devices->adapter->EnumOutputs(outputIndex_, output.GetAddressOf());
  if (result == DXGI_ERROR_NOT_FOUND) {
    Log(LogLevel::Error, "output %u does not exist on this adapter", outputIndex_);
    return result;
  }
  if (FAILED(result)) {
    LogFailure("EnumOutputs", result);
    return result;
  }
  DXGI_OUTPUT_DESC outputDesc{};
  result = output->GetDesc(&outputDesc);
  if (FAILED(result)) {
    LogFailure("IDXGIOutput::GetDesc", result);
    return result;
  }
  const RECT& area = outputDesc.DesktopCoordinates;
  const ImageSize desktop{static_cast<std::uint32_t>(area.right - area.left),
                          static_cast<std::uint32_t>(area.bottom - area.top)};
  ComPtr<IDXGIOutput1> output1;
  result = output.As(&output1);
  if (FAILED(result)) {
    LogFailure("IDXGIOutput1 query", result);
    return result;
  }

  Close();
  result =
      output1->DuplicateOutput(devices->captureDevice.Get(), state_->duplication.GetAddressOf());
  if (result == E_ACCESSDENIED) {
    // The desktop is locked, a secure desktop is up, or another capturer
    // holds the output: the session tries again later.
    Log(LogLevel::Error, "DuplicateOutput denied; another capturer may hold this output");
    return result;
  }
  if (FAILED(result)) {
    LogFailure("DuplicateOutput", result);
    return result;
  }

  DXGI_OUTDUPL_DESC duplicationDesc{};
  state_->duplication->GetDesc(&duplicationDesc);
  rotation_ = static_cast<OutputRotation>(duplicationDesc.Rotation);
  const ImageSize delivered = DeliveredImageSize(desktop, rotation_);
  width_ = delivered.width;
  height_ = delivered.height;
  outputDesc.DeviceName[std::size(outputDesc.DeviceName) - 1] = L'\0';
  deviceName_ = outputDesc.DeviceName;
  Log(LogLevel::Info, "duplicating output %u: %ux%u, systemMemory=%d, rotation=%d", outputIndex_,
      width_, height_, duplicationDesc.DesktopImageInSystemMemory ? 1 : 0,
      static_cast<int>(duplicationDesc.Rotation));
  return S_OK;
}

void DesktopDuplicationSource::Close() {
  ReleaseFrame();
  state_->duplication.Reset();
  deviceName_.clear();
}

std::int32_t DesktopDuplicationSource::AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) {
  if (!state_->duplication) return status::kInvalidStateHresult;
  ReleaseFrame();

  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  const HRESULT result =
      state_->duplication->AcquireNextFrame(timeoutMs, &info, resource.GetAddressOf());
  if (result == DXGI_ERROR_WAIT_TIMEOUT) return status::kSFalse;
  if (result == DXGI_ERROR_ACCESS_LOST) {
    // A mode change, a desktop switch or a lock: this duplication is dead
    // and the pipeline is rebuilt, which opens the source again.
    Log(LogLevel::Warn, "duplication access lost; recreating");
    Close();
    return result;
  }
  if (FAILED(result)) {
    LogFailure("AcquireNextFrame", result);
    return result;
  }
  frameHeld_ = true;
  // Only the pointer moved: the desktop image is unchanged.
  if (info.LastPresentTime.QuadPart == 0) return status::kSFalse;

  ComPtr<ID3D11Texture2D> texture;
  const HRESULT queried = resource.As(&texture);
  if (FAILED(queried)) {
    LogFailure("IDXGIResource -> ID3D11Texture2D", queried);
    return queried;
  }
  frame->texture = WrapD3DTexture(std::move(texture), width_, height_, PixelFormat::kBgra);
  frame->captureTimeUs = NowUs();
  frame->width = width_;
  frame->height = height_;
  return S_OK;
}

void DesktopDuplicationSource::ReleaseFrame() {
  if (!frameHeld_) return;
  frameHeld_ = false;
  if (state_->duplication) state_->duplication->ReleaseFrame();
}

}  // namespace veyra
