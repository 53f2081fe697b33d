#include "host/base/hresult_text.h"

namespace veyra {

std::string HresultText(std::int32_t code) { return ComposeHresultText(code, {}); }

}  // namespace veyra
