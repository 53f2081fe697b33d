#include "host/base/hresult_text.h"

#include <cstdio>

namespace veyra {

std::string ComposeHresultText(std::int32_t code, std::string_view systemMessage) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08lX",
                static_cast<unsigned long>(static_cast<std::uint32_t>(code)));
  std::string text = hex;
  while (!systemMessage.empty() && (systemMessage.back() == '\r' || systemMessage.back() == '\n')) {
    systemMessage.remove_suffix(1);
  }
  if (!systemMessage.empty()) {
    text += " (";
    text += systemMessage;
    text += ")";
  }
  return text;
}

}  // namespace veyra
