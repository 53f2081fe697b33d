#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veyra {

// Text that came from the receiver, made safe to write into a log line or
// this PC's question: a control character, DEL or backslash becomes a
// "\xNN" escape, so a peer cannot forge or break lines, and a character that
// reorders or breaks the text around it (bidirectional controls, line and
// paragraph separators) a "\uNNNN" one, so it cannot make a name read as
// something else. Anything past |limit| bytes is cut at a character's start
// and marked with "...".
std::string PeerText(std::string_view text, std::size_t limit = 200);

// Longest device id the host accepts, in bytes.
inline constexpr std::size_t kMaxDeviceIdBytes = 128;

// A device id the host may log, compare and store: at most
// kMaxDeviceIdBytes, with no control character or DEL.
bool IsAcceptableDeviceId(std::string_view deviceId);

}  // namespace veyra
