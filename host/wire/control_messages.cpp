#include "host/wire/control_messages.h"

namespace veyra {

JsonValue ParseControlPayload(const std::uint8_t* data, std::size_t size) {
  return Parse(data, size, kControlMessageMaxJsonValues);
}

ReceiverHello ParseHello(const JsonValue& json) {
  ReceiverHello hello;
  hello.protocolVersion = json.ReadInt32("protocolVersion", 1);
  hello.deviceId = json.ReadString("deviceId", "");
  hello.appVersion = json.ReadString("appVersion", "");
  return hello;
}

JsonValue BuildHelloAck(const HelloAck& ack) {
  JsonValue features = JsonValue::MakeArray();
  for (const std::string& feature : ack.features) {
    features.Append(feature);
  }
  JsonValue json = JsonValue::MakeObject();
  json.Set("protocolVersion", ack.protocolVersion);
  json.Set("hostPlatform", ack.hostPlatform);
  json.Set("hostVersion", ack.hostVersion);
  json.Set("codec", ack.codec);
  json.Set("features", std::move(features));
  json.Set("hostId", ack.hostId);
  json.Set("hostName", ack.hostName);
  json.Set("token", ack.token);
  return json;
}

DeviceInfo ParseDeviceInfo(const JsonValue& json) {
  DeviceInfo info;
  info.model = json.ReadString("model", "unknown");
  info.widthPx = json.ReadInt32("widthPx", 0);
  info.heightPx = json.ReadInt32("heightPx", 0);
  info.densityDpi = json.ReadInt32("densityDpi", 160);
  info.refreshHz = json.ReadDouble("refreshHz", 60.0);
  info.h264LowLatency = json.ReadBool("h264LowLatency", false);
  info.hevc = json.ReadBool("hevc", false);
  info.maxDecodeWidth = json.ReadInt32("maxDecodeWidth", 1920);
  info.maxDecodeHeight = json.ReadInt32("maxDecodeHeight", 1080);
  info.touch = json.ReadBool("touch", true);
  info.folded = json.ReadBool("folded", false);
  info.rotation = json.ReadInt32("rotation", 0);
  return info;
}

JsonValue BuildVideoConfig(const VideoConfig& config) {
  JsonValue json = JsonValue::MakeObject();
  json.Set("codec", config.codec);
  json.Set("width", config.width);
  json.Set("height", config.height);
  json.Set("fps", config.fps);
  json.Set("bitrateBps", config.bitrateBps);
  json.Set("profile", config.profile);
  json.Set("level", config.level);
  return json;
}

JsonValue BuildHostStats(const HostStats& stats) {
  JsonValue json = JsonValue::MakeObject();
  json.Set("fps", stats.fps);
  json.Set("bitrateBps", stats.bitrateBps);
  json.Set("captureMs", stats.captureMs);
  json.Set("convertMs", stats.convertMs);
  json.Set("encodeMs", stats.encodeMs);
  json.Set("networkMs", stats.networkMs);
  json.Set("e2eP50Ms", stats.e2eP50Ms);
  json.Set("e2eP95Ms", stats.e2eP95Ms);
  json.Set("encoderQueue", stats.encoderQueue);
  json.Set("droppedFrames", stats.droppedFrames);
  json.Set("rttMs", stats.rttMs);
  return json;
}

std::string ParsePairToken(const JsonValue& json) { return json.ReadString("token", ""); }

VisibilityChange ParseVisibility(const JsonValue& json) {
  VisibilityChange change;
  change.visible = json.ReadBool("visible", false);
  change.reason = json.ReadString("reason", "");
  const std::int64_t atUs = json.ReadInt64("atUs", 0);
  change.atUs = atUs < 1 ? 0 : atUs;
  return change;
}

BitrateRequest ParseBitrateRequest(const JsonValue& json) {
  BitrateRequest request;
  request.bitrateBps = json.ReadInt32("bitrateBps", 0);
  request.fps = json.ReadInt32("fps", 0);
  return request;
}

DisplayChange ParseDisplayChange(const JsonValue& json) {
  DisplayChange change;
  change.widthPx = json.ReadInt32("widthPx", 0);
  change.heightPx = json.ReadInt32("heightPx", 0);
  change.densityDpi = json.ReadInt32("densityDpi", 160);
  change.refreshHz = json.ReadDouble("refreshHz", 60.0);
  change.folded = json.ReadBool("folded", false);
  change.rotation = json.ReadInt32("rotation", 0);
  return change;
}

JsonValue BuildError(const ErrorInfo& error) {
  JsonValue json = JsonValue::MakeObject();
  json.Set("code", error.code);
  json.Set("message", error.message);
  return json;
}

ErrorInfo ParseError(const JsonValue& json) {
  ErrorInfo error;
  error.code = json.ReadString("code", kErrorInternal);
  error.message = json.ReadString("message", "");
  return error;
}

}  // namespace veyra
