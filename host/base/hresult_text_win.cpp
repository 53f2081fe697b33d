#include <windows.h>

#include "host/base/hresult_text.h"

namespace veyra {

std::string HresultText(std::int32_t code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (length != 0 && buffer != nullptr) {
    text = ComposeHresultText(code, std::string_view(buffer, length));
  } else {
    text = ComposeHresultText(code, {});
  }
  if (buffer != nullptr) {
    LocalFree(buffer);
  }
  return text;
}

}  // namespace veyra
