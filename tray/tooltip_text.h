#pragma once

#include <cstddef>
#include <string>

namespace veyra {

// The notification icon's tooltip holds 128 units with its terminator.
inline constexpr std::size_t kTooltipUnits = 128;

// The tooltip for the current state, cut to fit: ready while no host runs,
// else showing on the named phone (or on "your phone" without a name).
std::wstring TooltipFor(bool hostRunning, const std::wstring& receiverName, bool korean);

// The same for a host serving the phone's browser: waiting until a phone
// shows this PC.
std::wstring ServingTooltipFor(bool streaming, const std::wstring& phoneName, bool korean);

}  // namespace veyra
