#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veyra {

// Lower-case hexadecimal digit of a value 0-15.
constexpr char LowerHexDigit(unsigned value) { return "0123456789abcdef"[value & 0x0Fu]; }
// Upper-case hexadecimal digit of a value 0-15.
constexpr char UpperHexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0x0Fu]; }

// Two lower-case hexadecimal digits per byte, in order ("00ff10").
std::string LowerHexBytes(std::span<const std::uint8_t> bytes);

// "0x%08X" of a status value's 32 bits, as status values are printed in
// log lines ("0x80090326").
std::string StatusHex(std::int32_t status);

}  // namespace veyra
