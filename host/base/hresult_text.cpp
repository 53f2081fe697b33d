#include "host/base/hresult_text.h"

#include "host/base/hex_text.h"

namespace veyra {

std::string ComposeHresultText(std::int32_t code, std::string_view systemMessage) {
  std::string text = StatusHex(code);
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
