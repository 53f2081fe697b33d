#include "tray/tooltip_text.h"

#include "tray/localized_text.h"
#include "tray/main_menu.h"

namespace veyra {

std::wstring TooltipFor(bool hostRunning, const std::wstring& receiverName, bool korean) {
  std::wstring text;
  if (!hostRunning) {
    text = TextFor(TextRole::TooltipReady, korean);
  } else if (receiverName.empty()) {
    text = TextFor(TextRole::TooltipShowingOnPhone, korean);
  } else {
    text = FillPlaceholder(TextFor(TextRole::TooltipShowingOnNamed, korean), receiverName);
  }
  return CutToUnits(std::move(text), kTooltipUnits - 1);
}

std::wstring ServingTooltipFor(bool streaming, const std::wstring& phoneName, bool korean) {
  if (!streaming) {
    return TextFor(TextRole::TooltipWaitingForBrowser, korean);
  }
  return TooltipFor(true, phoneName, korean);
}

}  // namespace veyra
