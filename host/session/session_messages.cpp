// The receiver's messages, one at a time on the connection's receive thread.

#include <exception>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/peer_text.h"
#include "host/session/session.h"
#include "host/wire/binary_payloads.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

JsonValue JsonOf(const Packet& packet) {
  return ParseControlPayload(packet.payload.data(), packet.payload.size());
}

}  // namespace

void Session::HandleMessage(const Packet& packet) {
  WaitForCycle();
  try {
    Dispatch(packet);
  } catch (const std::exception& error) {
    Log(LogLevel::Warn, "failed handling %s: %s", MessageName(packet.header.type), error.what());
  }
}

bool Session::InputAllowed() const {
  return options_.injectInput && approval_.load() == PeerApproval::kAllowed &&
         state_.load() == SessionState::kStreaming && visible_.load();
}

bool Session::ActedOnBeforeApproval(MessageType type) {
  switch (type) {
    case MessageType::kHello:
    case MessageType::kDeviceInfo:
    case MessageType::kPairAccepted:
    case MessageType::kPing:
    case MessageType::kPong:
    case MessageType::kError:
      return true;
    default:
      return false;
  }
}

void Session::Dispatch(const Packet& packet) {
  const std::uint16_t type = packet.header.type;
  // Once either side has refused the other, frames still buffered behind
  // the refusal must not pair, stream or inject anything.
  if (permissionDenied_) {
    Log(LogLevel::Debug, "ignoring %s after a refusal", MessageName(type));
    return;
  }
  // Until this PC allows the receiver, nothing it says may change what
  // comes after (the next connection's bit rate, the picture's size).
  if (approval_.load() != PeerApproval::kAllowed &&
      !ActedOnBeforeApproval(static_cast<MessageType>(type))) {
    Log(LogLevel::Debug, "ignoring %s before the receiver is allowed", MessageName(type));
    return;
  }
  const std::uint8_t* data = packet.payload.data();
  const std::size_t size = packet.payload.size();
  switch (static_cast<MessageType>(type)) {
    case MessageType::kHello:
      OnHello(JsonOf(packet));
      return;
    case MessageType::kDeviceInfo:
      OnDeviceInfo(JsonOf(packet));
      return;
    case MessageType::kPairAccepted:
      OnPairAccepted(JsonOf(packet));
      return;
    case MessageType::kVisibility:
      OnVisibility(JsonOf(packet));
      return;
    case MessageType::kFrameAck:
      OnFrameAck(DecodeFrameAck(data, size));
      return;
    case MessageType::kTouch:
      if (InputAllowed()) {
        const TouchEvent touch = DecodeTouch(data, size);
        input_.Touch(touch.action, touch.x, touch.y, touch.buttons);
      }
      return;
    case MessageType::kScroll:
      if (InputAllowed()) {
        const ScrollEvent scroll = DecodeScroll(data, size);
        input_.Scroll(scroll.dx, scroll.dy, scroll.x, scroll.y);
      }
      return;
    case MessageType::kKey:
      if (InputAllowed()) {
        const KeyEvent key = DecodeKey(data, size);
        input_.Key(key.usage, key.action);
      }
      return;
    case MessageType::kPing:
      OnPing(packet);
      return;
    case MessageType::kPong:
      OnPong(packet);
      return;
    case MessageType::kSetBitrate:
      OnSetBitrate(JsonOf(packet));
      return;
    case MessageType::kDisplayChanged:
      OnDisplayChanged(JsonOf(packet));
      return;
    case MessageType::kRequestIdr:
      Log(LogLevel::Debug, "receiver requested an IDR");
      keyframeRequested_ = true;
      return;
    case MessageType::kError:
      OnError(JsonOf(packet));
      return;
    default:
      Log(LogLevel::Debug, "ignoring %s", MessageName(type));
      return;
  }
}

void Session::OnDeviceInfo(const JsonValue& json) {
  const DeviceInfo info = ParseDeviceInfo(json);
  {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    deviceInfo_ = info;
    deviceInfoReceived_ = true;
  }
  visible_ = true;
  Log(LogLevel::Info, "receiver %s: %dx%d @%.1fHz dpi=%d lowLatency=%d hevc=%d",
      PeerText(info.model).c_str(), info.widthPx, info.heightPx, info.refreshHz, info.densityDpi,
      info.h264LowLatency ? 1 : 0, info.hevc ? 1 : 0);
  switch (approval_.load()) {
    case PeerApproval::kAllowed:
      break;
    case PeerApproval::kPending:
      Log(LogLevel::Info, "the picture starts once this PC's user allows the receiver");
      return;
    case PeerApproval::kNone:
      // Only a receiver that introduced itself is asked about, from its
      // HELLO; its DEVICE_INFO is kept for then.
      Log(LogLevel::Info,
          "the receiver has not said who it is yet; nothing starts before its HELLO");
      return;
  }
  const std::int32_t status = StartPipeline(info);
  if (status < 0) {
    Log(LogLevel::Error, "pipeline start failed: %s", HresultText(status).c_str());
    SetState(SessionState::kDegraded, "pipeline start failed");
  }
}

void Session::OnVisibility(const JsonValue& json) {
  const VisibilityChange change = ParseVisibility(json);
  if (visible_.exchange(change.visible) == change.visible) {
    return;
  }
  if (change.visible) {
    Log(LogLevel::Info, "receiver is showing the picture again (%s)",
        PeerText(change.reason).c_str());
    keyframeRequested_ = true;
    if (options_.injectInput && state_.load() == SessionState::kStreaming) {
      input_.Resume();
    }
  } else {
    // Nothing stays pressed, and nothing new lands, on a PC the phone's
    // user no longer sees.
    if (options_.injectInput) {
      input_.Suspend();
    }
    Log(LogLevel::Info,
        "receiver stopped showing the picture (%s); still connected, so this is not a fault",
        PeerText(change.reason).c_str());
  }
}

void Session::OnPing(const Packet& packet) {
  const PingPayload ping = DecodePing(packet.payload.data(), packet.payload.size());
  const auto reply = EncodePing(PingPayload{ping.pingId, ping.originUs, NowUs()});
  connection_.Send(EncodeFrame(sequenceCounters_, MessageType::kPong, Channel::kControl,
                               FrameFlags::kNone, 0, NowUs(), reply.data(), reply.size()),
                   false);
}

void Session::OnPong(const Packet& packet) {
  const PingPayload pong = DecodePing(packet.payload.data(), packet.payload.size());
  stats_.RecordPong(pong, NowUs());
}

void Session::OnSetBitrate(const JsonValue& json) {
  const BitrateRequest request = ParseBitrateRequest(json);
  if (request.bitrateBps < 1) {
    return;
  }
  // Under the pipeline lock: the run thread may be shutting the encoder down
  // or opening the next one. The receiver's rate is the rate, and a ceiling
  // from now on; the link may hold the stream lower. Later connections start
  // at it too: the receiver knows its link.
  const std::lock_guard<std::mutex> lock(pipelineLock_);
  requestedBps_ = static_cast<std::uint32_t>(request.bitrateBps);
  rate_.SetCeiling(static_cast<std::uint32_t>(request.bitrateBps));
  encoder_.SetBitrate(rate_.rateBps());
  options_.bitrate = request.bitrateBps;
}

void Session::OnDisplayChanged(const JsonValue& json) {
  const DisplayChange change = ParseDisplayChange(json);
  Log(LogLevel::Info, "receiver display changed: %dx%d folded=%d rotation=%d", change.widthPx,
      change.heightPx, change.folded ? 1 : 0, change.rotation);
  const std::lock_guard<std::mutex> lock(deviceInfoLock_);
  deviceInfo_.widthPx = change.widthPx;
  deviceInfo_.heightPx = change.heightPx;
  deviceInfo_.folded = change.folded;
  deviceInfo_.rotation = change.rotation;
}

void Session::OnError(const JsonValue& json) {
  const ErrorInfo error = ParseError(json);
  if (error.code == kErrorPermissionDenied) {
    OnRefused(error);
    return;
  }
  Log(LogLevel::Warn, "receiver error %s: %s", PeerText(error.code).c_str(),
      PeerText(error.message).c_str());
}

}  // namespace veyra
