#pragma once

#include <cstdint>
#include <string_view>

#include "host/net/socket.h"
#include "host/serve/page_server.h"

namespace veyra {

// Serves one accepted connection within |deadlineMs|: TLS, or plaintext
// from this PC itself; one request; a page file, a refusal, or a WebSocket
// that is handed to the session through parts.links. Logs what a user or
// an administrator would want to know; never a peer's bytes unescaped.
void ServePageConnection(AcceptedPeer peer, const PageServerParts& parts, std::uint32_t deadlineMs);

// Whether a Host header names this PC the way the page's address does: an
// IPv4 literal, a bracketed IPv6 literal or "localhost", with an optional
// port. A name would let another site's page, resolved to this PC, pass as
// the page's own origin.
bool IsAddressHost(std::string_view host);

// The page's texts to a browser that is refused before it reaches the
// session, carried in an ERROR message as the session's own refusals are.
inline constexpr const char* kErrorBusy = "BUSY";
inline constexpr const char* kTextBusy = "another phone is showing this PC's screen";
inline constexpr const char* kTextNoSecret = "no valid link: open the address this PC shows now";

}  // namespace veyra
