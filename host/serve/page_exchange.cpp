#include "host/serve/page_exchange.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/base/ascii_case.h"
#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/peer_text.h"
#include "host/net/plain_transport.h"
#include "host/serve/browser_key.h"
#include "host/serve/http_request.h"
#include "host/serve/page_files.h"
#include "host/serve/websocket_frames.h"
#include "host/serve/websocket_transport.h"
#include "host/wire/control_messages.h"
#include "host/wire/frame.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

constexpr std::uint8_t kTlsHandshakeRecord = 0x16;
// The browser may try again later.
constexpr std::uint16_t kCloseTryAgain = 1013;

// Plaintext from this PC itself; the connection interrupts the socket to
// end it, so the flag stays set.
class LocalPlainTransport final : public Transport {
 public:
  explicit LocalPlainTransport(SocketHandle socket) : plain_(socket, keepGoing_) {}
  bool Send(const std::uint8_t* data, std::size_t length, std::string& failure) override {
    return plain_.Send(data, length, failure);
  }
  long Receive(std::vector<std::uint8_t>& out, std::string& failure) override {
    return plain_.Receive(out, failure);
  }

 private:
  std::atomic<bool> keepGoing_{true};
  PlainTransport plain_;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

std::string_view ReasonPhrase(int status) {
  switch (status) {
    case http_status::kPayloadTooLarge:
      return "Content Too Large";
    case http_status::kUriTooLong:
      return "URI Too Long";
    case http_status::kHeaderFieldsTooLarge:
      return "Request Header Fields Too Large";
    case http_status::kNotImplemented:
      return "Not Implemented";
    case http_status::kVersionNotSupported:
      return "HTTP Version Not Supported";
    default:
      return "Bad Request";
  }
}

// Whether a comma-separated header value lists |token| (any case).
bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
      item.remove_prefix(1);
    }
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
      item.remove_suffix(1);
    }
    if (EqualsIgnoringAsciiCase(item, token)) {
      return true;
    }
    if (comma == std::string_view::npos) {
      break;
    }
    list.remove_prefix(comma + 1);
  }
  return false;
}

HeaderList CommonHeaders() {
  return {
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
       "script-src 'self'"},
      {"Connection", "close"},
  };
}

// One exchange's stream and where it stands.
class Exchange {
 public:
  Exchange(AcceptedPeer peer, const PageServerParts& parts, std::uint32_t deadlineMs)
      : socket_(peer.socket),
        address_(std::move(peer.address)),
        loopback_(peer.loopback),
        parts_(parts),
        deadlineUs_(NowUs() + std::uint64_t{deadlineMs} * 1000) {}

  void Run();

 private:
  bool OpenStream();
  bool SetTimeoutToDeadline();
  std::optional<HttpRequest> ReadRequest();
  void Respond(int status, std::string_view reason, std::string_view type, std::string_view body);
  void Upgrade(const HttpRequest& request);
  bool SendUpgradeResponse(const HttpRequest& request);
  void RefuseBrowser(const HttpRequest& request, const char* code, const char* text,
                     std::uint16_t closeCode);

  ScopedSocket socket_;
  std::string address_;
  bool loopback_;
  bool tls_ = false;
  const PageServerParts& parts_;
  std::uint64_t deadlineUs_;
  std::unique_ptr<Transport> stream_;
  std::vector<std::uint8_t> leftover_;
};

bool Exchange::SetTimeoutToDeadline() {
  const std::uint64_t nowUs = NowUs();
  if (nowUs >= deadlineUs_) {
    return false;
  }
  SetReceiveTimeout(socket_.Get(), static_cast<std::uint32_t>((deadlineUs_ - nowUs + 999) / 1000));
  return true;
}

bool Exchange::OpenStream() {
  if (!SetTimeoutToDeadline()) {
    return false;
  }
  std::uint8_t first = 0;
  if (PeekSome(socket_.Get(), &first, 1) <= 0) {
    Log(LogLevel::Debug, "page: %s closed or said nothing", address_.c_str());
    return false;
  }
  if (first == kTlsHandshakeRecord) {
    tls_ = true;
    stream_ = parts_.acceptTls(socket_.Get());
    if (!stream_) {
      Log(LogLevel::Warn, "page: no TLS session with %s; closed", address_.c_str());
      return false;
    }
    return true;
  }
  if (!loopback_) {
    Log(LogLevel::Warn, "page: %s did not start TLS; closed (only this PC may use plain HTTP)",
        address_.c_str());
    return false;
  }
  stream_ = std::make_unique<LocalPlainTransport>(socket_.Get());
  return true;
}

std::optional<HttpRequest> Exchange::ReadRequest() {
  HttpRequestReader reader;
  std::vector<std::uint8_t> buffer;
  for (;;) {
    if (!SetTimeoutToDeadline()) {
      Log(LogLevel::Warn, "page: %s took longer than %u ms to send a request; closed",
          address_.c_str(), unsigned{PageServer::kExchangeDeadlineMs});
      return std::nullopt;
    }
    buffer.clear();
    std::string failure;
    const long received = stream_->Receive(buffer, failure);
    if (received <= 0) {
      if (NowUs() >= deadlineUs_) {
        Log(LogLevel::Warn, "page: %s took longer than %u ms to send a request; closed",
            address_.c_str(), unsigned{PageServer::kExchangeDeadlineMs});
      } else {
        Log(LogLevel::Debug, "page: %s closed before a whole request", address_.c_str());
      }
      return std::nullopt;
    }
    const HttpReadState state = reader.Feed(buffer.data(), buffer.size());
    if (state == HttpReadState::kComplete) {
      const std::span<const std::uint8_t> rest = reader.Leftover();
      leftover_.assign(rest.begin(), rest.end());
      return reader.Request();
    }
    if (state == HttpReadState::kFailed) {
      const std::string_view why = reader.FailureReason();
      Log(LogLevel::Warn, "page: bad request from %s: %.*s (HTTP %d)", address_.c_str(),
          static_cast<int>(why.size()), why.data(), reader.FailureStatus());
      Respond(reader.FailureStatus(), ReasonPhrase(reader.FailureStatus()),
              "text/plain; charset=utf-8", "bad request\n");
      return std::nullopt;
    }
  }
}

void Exchange::Respond(int status, std::string_view reason, std::string_view type,
                       std::string_view body) {
  HeaderList headers = CommonHeaders();
  headers.emplace_back("Content-Type", std::string(type));
  const std::string response = BuildHttpResponse(status, reason, headers, body);
  std::string failure;
  stream_->Send(reinterpret_cast<const std::uint8_t*>(response.data()), response.size(), failure);
}

void Exchange::Run() {
  if (!OpenStream()) {
    return;
  }
  const std::optional<HttpRequest> request = ReadRequest();
  if (!request) {
    return;
  }
  if (request->method == "GET" && request->path == "/link") {
    Upgrade(*request);
    return;
  }
  const std::string_view name =
      request->path == "/" ? std::string_view("index.html") : std::string_view(request->path);
  const EmbeddedFile* file = request->method == "GET" && !name.empty()
                                 ? FindPageFile(name.substr(name[0] == '/'))
                                 : nullptr;
  if (file == nullptr) {
    Log(LogLevel::Info, "page: %s asked for %s; not found", address_.c_str(),
        PeerText(request->path).c_str());
    Respond(404, "Not Found", "text/plain; charset=utf-8", "not found\n");
    return;
  }
  Respond(200, "OK", ContentTypeFor(file->name), file->body);
}

bool Exchange::SendUpgradeResponse(const HttpRequest& request) {
  const std::optional<std::string_view> key = request.Header("sec-websocket-key");
  HeaderList headers = {
      {"Upgrade", "websocket"},
      {"Connection", "Upgrade"},
      {"Sec-WebSocket-Accept", WebSocketAcceptKey(key.value_or(""))},
  };
  const std::string response = BuildHttpResponse(101, "Switching Protocols", headers, "");
  std::string failure;
  return stream_->Send(reinterpret_cast<const std::uint8_t*>(response.data()), response.size(),
                       failure);
}

void Exchange::RefuseBrowser(const HttpRequest& request, const char* code, const char* text,
                             std::uint16_t closeCode) {
  if (!SendUpgradeResponse(request)) {
    return;
  }
  SequenceCounters counters;
  const std::vector<std::uint8_t> frame =
      EncodeFrame(counters, MessageType::kError, Channel::kControl, FrameFlags::kNone, 0, NowUs(),
                  Serialize(BuildError(ErrorInfo{code, text})));
  WebSocketTransport socket(std::move(stream_), std::move(leftover_));
  std::string failure;
  socket.Send(frame.data(), frame.size(), failure);
  socket.SendClose(closeCode);
}

void Exchange::Upgrade(const HttpRequest& request) {
  const std::string_view upgrade = request.Header("upgrade").value_or("");
  const std::string_view connection = request.Header("connection").value_or("");
  const std::string_view version = request.Header("sec-websocket-version").value_or("");
  const std::string_view key = request.Header("sec-websocket-key").value_or("");
  if (!EqualsIgnoringAsciiCase(upgrade, "websocket") || !HasToken(connection, "upgrade") ||
      version != "13" || !IsValidWebSocketKey(key)) {
    Log(LogLevel::Warn, "page: %s asked for the link without a proper WebSocket upgrade",
        address_.c_str());
    Respond(400, "Bad Request", "text/plain; charset=utf-8", "bad request\n");
    return;
  }
  const std::string_view host = request.Header("host").value_or("");
  const std::string origin = std::string(tls_ ? "https://" : "http://") + std::string(host);
  if (!IsAddressHost(host) || request.Header("origin").value_or("") != origin) {
    Log(LogLevel::Warn, "page: %s opened the link from another page than this PC's (origin %s)",
        address_.c_str(), PeerText(request.Header("origin").value_or("none")).c_str());
    Respond(403, "Forbidden", "text/plain; charset=utf-8", "forbidden\n");
    return;
  }
  const std::optional<PeerIdentity> identity =
      BrowserKeyIdentity(request.Query("key").value_or(""));
  if (!identity) {
    Log(LogLevel::Warn, "page: %s sent no usable browser key", address_.c_str());
    Respond(400, "Bad Request", "text/plain; charset=utf-8", "bad request\n");
    return;
  }
  if (!parts_.links->Reserve()) {
    Log(LogLevel::Info, "page: %s was told that another phone is showing the screen",
        address_.c_str());
    RefuseBrowser(request, kErrorBusy, kTextBusy, kCloseTryAgain);
    return;
  }
  const bool known = parts_.knownKey(identity->keyHash);
  if (!known && !parts_.secret->Use(request.Query("secret").value_or(""))) {
    parts_.links->CancelReservation();
    Log(LogLevel::Warn,
        "page: %s came without this PC's current link and with no approved key; turned away",
        address_.c_str());
    RefuseBrowser(request, kErrorPermissionDenied, kTextNoSecret,
                  websocket_close::kPolicyViolation);
    return;
  }
  if (!SendUpgradeResponse(request)) {
    parts_.links->CancelReservation();
    return;
  }
  SetReceiveTimeout(socket_.Get(), 0);
  Log(LogLevel::Info, "page: browser at %s connected %s (code %s)", address_.c_str(),
      known ? "with a key this PC approved" : "with this PC's one-time link",
      identity->shortCode.c_str());
  BrowserLink link;
  link.transport = std::make_unique<WebSocketTransport>(std::move(stream_), std::move(leftover_));
  link.socket = std::move(socket_);
  link.identity = *identity;
  link.peerAddress = address_;
  parts_.links->Deliver(std::move(link));
}

}  // namespace

bool IsAddressHost(std::string_view host) {
  if (host.empty()) {
    return false;
  }
  std::string_view name = host;
  if (name.front() == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos) {
      return false;
    }
    const std::string_view inside = name.substr(1, close - 1);
    const std::string_view rest = name.substr(close + 1);
    const bool hexDigits = !inside.empty() && std::all_of(inside.begin(), inside.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
             c == ':' || c == '.';
    });
    const bool port = rest.empty() || (rest.size() > 1 && rest[0] == ':' &&
                                       std::all_of(rest.begin() + 1, rest.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; }));
    return hexDigits && port;
  }
  const std::size_t colon = name.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = name.substr(colon + 1);
    if (port.empty() ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return false;
    }
    name = name.substr(0, colon);
  }
  if (name == "localhost") {
    return true;
  }
  int dots = 0;
  int digits = 0;
  for (const char c : name) {
    if (c == '.') {
      if (digits == 0) {
        return false;
      }
      ++dots;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 3) {
      ++digits;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

void ServePageConnection(AcceptedPeer peer, const PageServerParts& parts,
                         std::uint32_t deadlineMs) {
  Exchange exchange(std::move(peer), parts, deadlineMs);
  exchange.Run();
}

}  // namespace veyra
