// DXGI desktop duplication of one output of the context's adapter. Each
// frame is a copy of the duplicated image with the pointer drawn in (the
// PointerOverlay's); the duplicated image itself is held only between
// AcquireNextFrame and ReleaseFrame.

#include <dxgi1_2.h>
#include <dxgi1_6.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/graphics_devices_win.h"
#include "host/capture/hdr_tone_map_win.h"
#include "host/capture/pointer_overlay_win.h"
#include "host/capture/pointer_rotation.h"
#include "host/capture/pointer_shape.h"
#include "host/capture/sdr_white.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

struct DesktopDuplicationSource::State {
  ComPtr<IDXGIOutputDuplication> duplication;
  // The pointer as the last frames reported it: position and visibility
  // only come with frames whose LastMouseUpdateTime is set, a shape only
  // with those whose PointerShapeBufferSize is.
  PointerState pointer;
  PointerShape shape;
  // The shape turned into the image's orientation, for turned outputs.
  PointerShape turnedShape;
  PointerOverlay overlay;
  // The last image had protected content blacked out.
  bool protectedContentMasked = false;
};

static_assert(static_cast<int>(PointerShapeKind::kMonochrome) ==
              DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME);
static_assert(static_cast<int>(PointerShapeKind::kColor) == DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR);
static_assert(static_cast<int>(PointerShapeKind::kMaskedColor) ==
              DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR);

namespace {

// How long AcquireFrame waits for a new image while a pointer is owed:
// short, so that the pointer lands soon on a still desktop.
constexpr std::uint32_t kOwedPointerPollMs = 4;

void LogFailure(const char* step, HRESULT result) {
  Log(LogLevel::Error, "%s failed: %s", step, HresultText(result).c_str());
}

// An HDR desktop (its output in the G2084/BT.2020 colour space,
// "IDXGIOutput6::GetDesc1") duplicated by DuplicateOutput comes as BGRA
// converted without regard to SDR white: washed out and clipped.
// DuplicateOutput1 offered only R16G16B16A16_FLOAT gives it as linear
// scRGB ("IDXGIOutput5::DuplicateOutput1"), which the overlay tone-maps.
// False, with nothing duplicated, wherever that path is missing (Windows
// before 10 1703, Wine) or refused: the legacy path follows.
bool DuplicateHdr(IDXGIOutput* output, ID3D11Device* device,
                  ComPtr<IDXGIOutputDuplication>* duplication) {
  ComPtr<IDXGIOutput6> output6;
  if (FAILED(output->QueryInterface(IID_PPV_ARGS(output6.GetAddressOf())))) return false;
  DXGI_OUTPUT_DESC1 desc{};
  if (FAILED(output6->GetDesc1(&desc)) ||
      desc.ColorSpace != DXGI_COLOR_SPACE_RGB_FULL_G2084_NONE_P2020) {
    return false;
  }
  const DXGI_FORMAT formats[] = {DXGI_FORMAT_R16G16B16A16_FLOAT};
  const HRESULT result =
      output6->DuplicateOutput1(device, 0, 1, formats, duplication->ReleaseAndGetAddressOf());
  if (FAILED(result)) {
    Log(LogLevel::Warn, "DuplicateOutput1 failed: %s; duplicating the HDR desktop as SDR",
        HresultText(result).c_str());
    duplication->Reset();
    return false;
  }
  return true;
}

// Takes the pointer's news from a held frame whose LastMouseUpdateTime is
// set: position and visibility always, the shape when a new one came.
HRESULT UpdatePointer(IDXGIOutputDuplication* duplication, const DXGI_OUTDUPL_FRAME_INFO& info,
                      PointerState* pointer, PointerShape* shape) {
  // The position is the shape's top-left corner on the output's desktop
  // (DXGI_OUTDUPL_POINTER_POSITION).
  pointer->visible = info.PointerPosition.Visible != FALSE;
  pointer->x = info.PointerPosition.Position.x;
  pointer->y = info.PointerPosition.Position.y;
  if (info.PointerShapeBufferSize == 0) return S_OK;

  std::vector<std::uint8_t> bytes(info.PointerShapeBufferSize);
  UINT required = 0;
  DXGI_OUTDUPL_POINTER_SHAPE_INFO shapeInfo{};
  const HRESULT result = duplication->GetFramePointerShape(static_cast<UINT>(bytes.size()),
                                                           bytes.data(), &required, &shapeInfo);
  if (FAILED(result)) {
    // The old shape stays; the picture is still right apart from the pointer.
    if (result != DXGI_ERROR_ACCESS_LOST) LogFailure("GetFramePointerShape", result);
    return result;
  }
  bytes.resize(std::min<std::size_t>(bytes.size(), required));
  shape->kind = static_cast<PointerShapeKind>(shapeInfo.Type);
  shape->width = shapeInfo.Width;
  shape->height = shapeInfo.Height;
  shape->pitch = shapeInfo.Pitch;
  shape->hotSpotX = static_cast<std::uint32_t>(shapeInfo.HotSpot.x);
  shape->hotSpotY = static_cast<std::uint32_t>(shapeInfo.HotSpot.y);
  shape->pixels = std::move(bytes);
  return S_OK;
}

// Labelled with the image's own size, so that the capture loop sees a mode
// change that the duplication has not reported yet. The overlay's picture
// changes only when it composes the next frame.
void FillFrame(const PointerOverlay& overlay, ComPtr<ID3D11Texture2D> picture,
               bool protectedContentMasked, CapturedFrame* frame) {
  frame->texture =
      WrapD3DTexture(std::move(picture), overlay.width(), overlay.height(), PixelFormat::kBgra);
  frame->captureTimeUs = NowUs();
  frame->width = overlay.width();
  frame->height = overlay.height();
  frame->stable = true;
  frame->protectedContentMasked = protectedContentMasked;
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
  // The context sits on an adapter that shows the monitor, which may list
  // it under another output number than the monitor's own.
  const std::optional<std::uint32_t> local = graphics_.OutputOf(outputIndex_);
  ComPtr<IDXGIOutput> output;
  HRESULT result =
      local ? devices->adapter->EnumOutputs(*local, output.GetAddressOf()) : DXGI_ERROR_NOT_FOUND;
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
  outputDesc.DeviceName[std::size(outputDesc.DeviceName) - 1] = L'\0';
  bool hdr = DuplicateHdr(output.Get(), devices->captureDevice.Get(), &state_->duplication);
  if (hdr && !state_->overlay.PrepareToneMap(devices->captureDevice.Get())) {
    // Float images nothing here could turn into a picture would fail every
    // frame; washed out is better than none.
    Log(LogLevel::Warn, "HDR desktop: no tone map on this system; duplicating it as SDR");
    state_->duplication.Reset();
    hdr = false;
  }
  if (hdr) {
    const std::uint32_t whiteLevel = QuerySdrWhiteLevel(outputDesc.DeviceName);
    state_->overlay.SetSdrWhiteScale(SdrWhiteScale(whiteLevel));
    Log(LogLevel::Info, "HDR desktop: tone-mapping to SDR white level %u", whiteLevel);
  }
  result = hdr ? S_OK
               : output1->DuplicateOutput(devices->captureDevice.Get(),
                                          state_->duplication.GetAddressOf());
  if (result == E_ACCESSDENIED) {
    // The secure desktop (a UAC prompt, Ctrl+Alt+Del) or the lock screen
    // is up: the session tries again later.
    Log(LogLevel::Warn, "DuplicateOutput denied: the lock screen or a secure desktop is showing");
    return result;
  }
  if (result == DXGI_ERROR_UNSUPPORTED) {
    // Expected of a hybrid laptop's GPU that lists a monitor it does not
    // drive: GraphicsContext::OpenSource tries the other adapters and
    // reports the outcome.
    Log(LogLevel::Debug, "DuplicateOutput: unsupported on %s", graphics_.adapterName().c_str());
    return result;
  }
  if (FAILED(result)) {
    LogFailure("DuplicateOutput", result);
    return result;
  }

  DXGI_OUTDUPL_DESC duplicationDesc{};
  state_->duplication->GetDesc(&duplicationDesc);
  rotation_ = static_cast<OutputRotation>(duplicationDesc.Rotation);
  // The image comes in the mode's unturned orientation ("Rotating the
  // desktop image"), so its size is the desktop's turned back. Which way
  // round ModeDesc is given is not documented, so it only stands in when
  // the desktop's rectangle is empty; every acquired surface still carries
  // its own size, which the capture loop checks.
  const ImageSize fromMode{duplicationDesc.ModeDesc.Width, duplicationDesc.ModeDesc.Height};
  const ImageSize delivered =
      desktop.width != 0 && desktop.height != 0 ? DeliveredImageSize(desktop, rotation_) : fromMode;
  width_ = delivered.width;
  height_ = delivered.height;
  deviceName_ = outputDesc.DeviceName;
  Log(LogLevel::Info, "duplicating output %u: %ux%u, systemMemory=%d, rotation=%d", outputIndex_,
      width_, height_, duplicationDesc.DesktopImageInSystemMemory ? 1 : 0,
      static_cast<int>(duplicationDesc.Rotation));
  return S_OK;
}

void DesktopDuplicationSource::Close() {
  ReleaseFrame();
  state_->duplication.Reset();
  state_->overlay.Reset();
  state_->pointer = PointerState{};
  state_->shape = PointerShape{};
  state_->turnedShape = PointerShape{};
  state_->protectedContentMasked = false;
  deviceName_.clear();
}

std::int32_t DesktopDuplicationSource::AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) {
  if (!state_->duplication) return status::kInvalidStateHresult;
  ReleaseFrame();
  if (state_->overlay.pointerOwed()) {
    // A pointer drawn from older pixels is drawn right once its read-back
    // lands, also on a still desktop where no new image would bring it.
    GraphicsDevices* devices = graphics_.devices();
    ComPtr<ID3D11Texture2D> redrawn;
    if (state_->overlay.Redraw(devices->captureDevice.Get(), devices->captureContext.Get(),
                               state_->turnedShape, &redrawn) == S_OK) {
      FillFrame(state_->overlay, std::move(redrawn), state_->protectedContentMasked, frame);
      return S_OK;
    }
    timeoutMs = std::min(timeoutMs, kOwedPointerPollMs);
  }

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
  // "DXGI_OUTDUPL_FRAME_INFO structure": LastPresentTime is 0 when the
  // image did not change, LastMouseUpdateTime when the pointer did not;
  // PointerPosition only counts when the latter is set.
  const bool desktopChanged = info.LastPresentTime.QuadPart != 0;
  bool pointerChanged = false;
  if (info.LastMouseUpdateTime.QuadPart != 0) {
    const PointerState before = state_->pointer;
    const HRESULT pointerResult =
        UpdatePointer(state_->duplication.Get(), info, &state_->pointer, &state_->shape);
    if (pointerResult == DXGI_ERROR_ACCESS_LOST) {
      Log(LogLevel::Warn, "duplication access lost; recreating");
      Close();
      return pointerResult;
    }
    const bool newShape = info.PointerShapeBufferSize != 0 && SUCCEEDED(pointerResult);
    // The pointer comes in the desktop's orientation, the image in the
    // mode's ("Rotating the desktop image"): the shape is turned to the
    // image once, when it comes, even while hidden.
    if (newShape) state_->turnedShape = TurnPointerShape(state_->shape, rotation_);
    // The first picture comes with whatever update brings one.
    pointerChanged =
        PointerChangesPicture(before, state_->pointer, newShape) || !state_->overlay.hasDesktop();
  }
  if (desktopChanged) {
    // The flag describes the image, so only frames that bring one change
    // it ("ProtectedContentMaskedOut": protected content was blacked out).
    state_->protectedContentMasked = info.ProtectedContentMaskedOut != FALSE;
  }
  // Neither the image nor the pointer as drawn changed (a pointer moving
  // on another output, for one): nothing new to send, and nothing for the
  // converter and the encoder to do.
  if (!desktopChanged && !pointerChanged) return status::kSFalse;

  // A frame where only the pointer moved is drawn over the kept image; the
  // first frame always brings the image.
  ComPtr<ID3D11Texture2D> desktop;
  if (desktopChanged || !state_->overlay.hasDesktop()) {
    const HRESULT queried = resource.As(&desktop);
    if (FAILED(queried)) {
      LogFailure("IDXGIResource -> ID3D11Texture2D", queried);
      return queried;
    }
  }
  // The pointer's position is turned to the image likewise.
  ImageSize image{state_->overlay.width(), state_->overlay.height()};
  if (desktop) {
    D3D11_TEXTURE2D_DESC desc{};
    desktop->GetDesc(&desc);
    image = {desc.Width, desc.Height};
  }
  const PointerState turnedPointer =
      TurnPointerState(state_->shape, state_->pointer, image, rotation_);
  GraphicsDevices* devices = graphics_.devices();
  ComPtr<ID3D11Texture2D> composed;
  const HRESULT composeResult =
      state_->overlay.Compose(devices->captureDevice.Get(), devices->captureContext.Get(),
                              desktop.Get(), state_->turnedShape, turnedPointer, &composed);
  if (FAILED(composeResult)) return composeResult;
  FillFrame(state_->overlay, std::move(composed), state_->protectedContentMasked, frame);
  return S_OK;
}

void DesktopDuplicationSource::ReleaseFrame() {
  if (!frameHeld_) return;
  frameHeld_ = false;
  if (state_->duplication) state_->duplication->ReleaseFrame();
}

}  // namespace veyra
