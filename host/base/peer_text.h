#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veyra {

// Text that came from the receiver, made safe to write into a log line: a
// control character, DEL or backslash becomes a "\xNN" escape, so a peer
// cannot forge or break lines, and anything past |limit| bytes is cut and
// marked with "...".
std::string PeerText(std::string_view text, std::size_t limit = 200);

// Longest device id the host accepts, in bytes.
inline constexpr std::size_t kMaxDeviceIdBytes = 128;

// A device id the host may log, compare and store: at most
// kMaxDeviceIdBytes, with no control character or DEL.
bool IsAcceptableDeviceId(std::string_view deviceId);

}  // namespace veyra
