#include "tray/browser_path.h"

#include <optional>

#include "host/base/serve_report.h"
#include "host/base/utf_conversion.h"

namespace veyra {
namespace {

BrowserPhase PhaseOf(ServePhase phase) {
  switch (phase) {
    case ServePhase::kWaiting:
      return BrowserPhase::kWaiting;
    case ServePhase::kAsking:
      return BrowserPhase::kAsking;
    case ServePhase::kStreaming:
      return BrowserPhase::kStreaming;
    case ServePhase::kRefused:
      return BrowserPhase::kRefused;
    case ServePhase::kLeft:
      return BrowserPhase::kLost;
  }
  return BrowserPhase::kWaiting;
}

}  // namespace

bool ApplyHostLine(BrowserPath& path, std::string_view line) {
  const std::optional<ServeLine> parsed = ParseServeLine(line);
  if (!parsed) {
    return false;
  }
  const BrowserPath before = path;
  const std::wstring text = WideFromUtf8(parsed->text);
  switch (parsed->kind) {
    case ServeLineKind::kAddress:
      // A new secret: the other networks' links follow it.
      path.link = text;
      path.others.clear();
      if (path.phase == BrowserPhase::kStarting) {
        path.phase = BrowserPhase::kWaiting;
      }
      break;
    case ServeLineKind::kOtherAddress:
      if (path.others.size() < kMaxOtherLinks) {
        path.others.push_back(text);
      }
      break;
    case ServeLineKind::kUsbAddress:
      path.usb = text;
      break;
    case ServeLineKind::kPhase: {
      const BrowserPhase next = PhaseOf(parsed->phase);
      const bool settled =
          path.phase == BrowserPhase::kRefused || path.phase == BrowserPhase::kLost;
      if (next == BrowserPhase::kWaiting && settled) {
        break;
      }
      path.phase = next;
      path.phone = text;
      break;
    }
  }
  return path != before;
}

const char* BrowserPhaseWord(BrowserPhase phase) {
  switch (phase) {
    case BrowserPhase::kOff:
      return "off";
    case BrowserPhase::kStarting:
      return "starting";
    case BrowserPhase::kWaiting:
      return "waiting";
    case BrowserPhase::kAsking:
      return "asking";
    case BrowserPhase::kStreaming:
      return "streaming";
    case BrowserPhase::kRefused:
      return "refused";
    case BrowserPhase::kLost:
      return "lost";
    case BrowserPhase::kStopped:
      return "stopped";
  }
  return "off";
}

}  // namespace veyra
