#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veyra {

// "0x%08lX" of the code, followed by " (system message)" when the platform
// has a message for it. Natively there is no message table: the hexadecimal
// part alone.
std::string HresultText(std::int32_t code);

// Joins the hexadecimal part and a system message, dropping the message's
// trailing carriage returns and line feeds; an empty message adds nothing.
std::string ComposeHresultText(std::int32_t code, std::string_view systemMessage);

}  // namespace veyra
