#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veyra {

// Text that came from the receiver, made safe to write into a log line or
// this PC's question: a control character, DEL, backslash or byte that is
// not UTF-8 becomes a "\xNN" escape, so a peer cannot forge or break lines
// or send a terminal its commands, and a character that shows nothing,
// reorders or breaks the text around it (C1 controls, zero-width and
// bidirectional characters, line and paragraph separators, tags) a
// "\uNNNN" one, so it cannot make a name read as something else. Anything
// past |limit| bytes is cut at a character's start and marked with "...".
std::string PeerText(std::string_view text, std::size_t limit = 200);

// PeerText for a name shown beside this PC's verification code: a run shaped
// like a code (four or more letters or digits on each side of a hyphen) has
// its hyphen escaped too, so the name cannot carry a code of its own.
std::string PeerName(std::string_view text, std::size_t limit = 64);

// Longest device id the host accepts, in bytes.
inline constexpr std::size_t kMaxDeviceIdBytes = 128;

// A device id the host may log, compare and store: at most
// kMaxDeviceIdBytes, with no control character or DEL.
bool IsAcceptableDeviceId(std::string_view deviceId);

}  // namespace veyra
