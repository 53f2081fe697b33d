#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace veyra {

// The HTTP status codes the page server answers with.
namespace http_status {
inline constexpr int kSwitchingProtocols = 101;
inline constexpr int kOk = 200;
inline constexpr int kBadRequest = 400;
inline constexpr int kForbidden = 403;
inline constexpr int kNotFound = 404;
inline constexpr int kPayloadTooLarge = 413;
inline constexpr int kUriTooLong = 414;
inline constexpr int kHeaderFieldsTooLarge = 431;
inline constexpr int kNotImplemented = 501;
inline constexpr int kVersionNotSupported = 505;
}  // namespace http_status

// One request head as the reader accepted it.
struct HttpRequest {
  std::string method;  // always "GET": the reader refuses every other
  std::string target;  // as sent: "/link?key=..."
  // The target up to its "?", as sent: not percent-decoded. The names the
  // server knows need no escapes, so an escaped spelling matches none.
  std::string path;
  // The query's name=value pairs in order, percent-decoded ("+" stays "+");
  // a pair without "=" has an empty value. No name repeats.
  std::vector<std::pair<std::string, std::string>> query;
  int minorVersion = 1;  // HTTP/1.<minorVersion>: 0 or 1
  // Field names lower-cased, values without surrounding blanks, in order of
  // first appearance. Lines repeating a name are joined into one value with
  // "," (how HTTP combines list fields), so a repeated single-value field
  // such as Origin or Sec-WebSocket-Key reads as no valid value at all.
  std::vector<std::pair<std::string, std::string>> headers;

  // The value of the field |name| (any case), or nothing.
  std::optional<std::string_view> Header(std::string_view name) const;
  // The decoded value of the query parameter |name|, or nothing.
  std::optional<std::string_view> Query(std::string_view name) const;
};

enum class HttpReadState { kNeedMore, kComplete, kFailed };

// Reads the head of one request from a byte stream, apart from any I/O: feed
// it the bytes as they arrive until it is complete or has failed. Used from
// one thread.
//
// What it takes: a GET in origin form ("/path?query") over HTTP/1.1 or
// HTTP/1.0, header lines "name: value", and no body (no Content-Length but
// "0", no Transfer-Encoding). Every line must end in CR LF: a bare LF fails,
// as does a line folded onto the next (one starting with a blank), since a
// browser sends neither and each tolerated variant is a way for two parsers
// to disagree about where a field ends. An empty line before the request
// line is refused too.
//
// The request line may hold kMaxRequestLineBytes before its CR LF; the head,
// through the CR LF of its empty line, kMaxHeadBytes; at most
// kMaxHeaderLines fields. Bytes fed behind the head stay as Leftover()
// (a WebSocket client may send its first frame right behind the upgrade).
// The reader holds at most kMaxHeadBytes plus one Feed's bytes.
class HttpRequestReader {
 public:
  static constexpr std::size_t kMaxRequestLineBytes = 4096;
  static constexpr std::size_t kMaxHeadBytes = 16384;
  static constexpr std::size_t kMaxHeaderLines = 64;

  // Takes the next bytes. Once complete or failed, the state is final and
  // further bytes are ignored.
  HttpReadState Feed(const std::uint8_t* data, std::size_t size);

  HttpReadState State() const { return state_; }

  // Once complete: the request, and the bytes that followed its head.
  const HttpRequest& Request() const { return request_; }
  std::span<const std::uint8_t> Leftover() const;

  // Once failed: the status to answer with (400, 413, 414, 431, 501 or 505)
  // and a fixed text for the log, which never holds the peer's bytes.
  int FailureStatus() const { return failureStatus_; }
  std::string_view FailureReason() const { return failureReason_; }

 private:
  void ProcessLines();
  void CheckPartialLine();
  void ParseRequestLine(std::string_view line);
  void ParseHeaderLine(std::string_view line);
  void FinishHead();
  void Fail(int status, std::string_view reason);

  HttpReadState state_ = HttpReadState::kNeedMore;
  std::string buffer_;
  std::size_t lineStart_ = 0;  // where the line being read starts in buffer_
  std::size_t scanned_ = 0;    // buffer_ before this holds no LF of that line
  bool haveRequestLine_ = false;
  std::size_t headerLines_ = 0;
  HttpRequest request_;
  int failureStatus_ = 0;
  std::string_view failureReason_;
};

// A response head and body: "HTTP/1.1 <status> <reason>", |headers| in
// order, then Content-Length of |body| (except for 1xx and 204, which have
// none) and |body|. The caller passes no Content-Length of its own. Raises
// std::invalid_argument when the reason, a name or a value holds CR, LF or
// another control character (the host's own texts never do; peer text must
// not reach a response head).
std::string BuildHttpResponse(int status, std::string_view reason,
                              const std::vector<std::pair<std::string, std::string>>& headers,
                              std::string_view body);

}  // namespace veyra
