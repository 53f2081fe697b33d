#include "host/serve/http_request.h"

#include <algorithm>
#include <stdexcept>

#include "host/base/ascii_case.h"

namespace veyra {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// A token character of a method or field name.
bool IsTokenChar(char c) {
  return IsAlpha(c) || IsDigit(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// Text allowed in a field value or reason phrase: visible characters, blanks
// and bytes above 0x7F; no control character but a tab, no DEL.
bool IsFieldText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
  });
}

int HexValue(char c) {
  if (IsDigit(c)) {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// A character a path segment may hold unescaped: unreserved, sub-delims, ":"
// and "@".
bool IsPathChar(char c) {
  return IsAlpha(c) || IsDigit(c) ||
         std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

// Whether |text| holds only |allowed| characters and well-formed "%XX"
// escapes.
template <typename Allowed>
bool IsEscapedText(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
        return false;
      }
      i += 2;
    } else if (!allowed(text[i])) {
      return false;
    }
  }
  return true;
}

// |text| with its "%XX" escapes decoded; IsEscapedText holds for it.
std::string PercentDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

std::string_view TrimBlanks(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

std::optional<std::string_view> Find(const std::vector<std::pair<std::string, std::string>>& pairs,
                                     std::string_view name) {
  for (const auto& [key, value] : pairs) {
    if (EqualsIgnoringAsciiCase(key, name)) {
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> HttpRequest::Header(std::string_view name) const {
  return Find(headers, name);
}

std::optional<std::string_view> HttpRequest::Query(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) {
      return value;
    }
  }
  return std::nullopt;
}

HttpReadState HttpRequestReader::Feed(const std::uint8_t* data, std::size_t size) {
  if (state_ != HttpReadState::kNeedMore || size == 0) {
    return state_;
  }
  buffer_.append(reinterpret_cast<const char*>(data), size);
  ProcessLines();
  return state_;
}

std::span<const std::uint8_t> HttpRequestReader::Leftover() const {
  if (state_ != HttpReadState::kComplete) {
    return {};
  }
  return {reinterpret_cast<const std::uint8_t*>(buffer_.data()) + lineStart_,
          buffer_.size() - lineStart_};
}

void HttpRequestReader::Fail(int status, std::string_view reason) {
  state_ = HttpReadState::kFailed;
  failureStatus_ = status;
  failureReason_ = reason;
}

void HttpRequestReader::ProcessLines() {
  // Lines are taken as their LF arrives and the search resumes where it
  // stopped, so a head fed a byte at a time costs no more than one fed whole.
  // The bounds are checked before a line is parsed, in the same order for a
  // complete line as for a partial one, so that where the stream was cut
  // never changes the outcome.
  while (state_ == HttpReadState::kNeedMore) {
    const std::size_t lf = buffer_.find('\n', scanned_);
    if (lf == std::string::npos) {
      scanned_ = buffer_.size();
      CheckPartialLine();
      return;
    }
    std::string_view line(buffer_.data() + lineStart_, lf - lineStart_);
    const bool endsInCr = !line.empty() && line.back() == '\r';
    if (!haveRequestLine_ && line.size() - (endsInCr ? 1 : 0) > kMaxRequestLineBytes) {
      Fail(http_status::kUriTooLong, "request line too long");
      return;
    }
    if (lf + 1 > kMaxHeadBytes) {
      Fail(http_status::kHeaderFieldsTooLarge, "request head too large");
      return;
    }
    if (!endsInCr) {
      Fail(http_status::kBadRequest, "line not ended by CR LF");
      return;
    }
    line.remove_suffix(1);
    lineStart_ = lf + 1;
    scanned_ = lineStart_;
    if (!haveRequestLine_) {
      ParseRequestLine(line);
    } else if (line.empty()) {
      FinishHead();
    } else if (headerLines_ == kMaxHeaderLines) {
      Fail(http_status::kHeaderFieldsTooLarge, "too many header lines");
    } else {
      ParseHeaderLine(line);
    }
  }
}

void HttpRequestReader::CheckPartialLine() {
  std::size_t partial = buffer_.size() - lineStart_;
  if (partial > 0 && buffer_.back() == '\r') {
    --partial;  // the CR of a CR LF whose LF is yet to come
  }
  if (!haveRequestLine_ && partial > kMaxRequestLineBytes) {
    Fail(http_status::kUriTooLong, "request line too long");
  } else if (buffer_.size() > kMaxHeadBytes) {
    Fail(http_status::kHeaderFieldsTooLarge, "request head too large");
  }
}

void HttpRequestReader::ParseRequestLine(std::string_view line) {
  // method SP request-target SP HTTP-version, single spaces.
  const std::size_t firstSpace = line.find(' ');
  const std::size_t secondSpace =
      firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
  if (secondSpace == std::string_view::npos) {
    Fail(http_status::kBadRequest, "malformed request line");
    return;
  }
  const std::string_view method = line.substr(0, firstSpace);
  const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  const std::string_view version = line.substr(secondSpace + 1);
  if (!IsToken(method) || target.empty()) {
    Fail(http_status::kBadRequest, "malformed request line");
    return;
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !IsDigit(version[5]) ||
      version[6] != '.' || !IsDigit(version[7])) {
    Fail(http_status::kBadRequest, "malformed HTTP version");
    return;
  }
  if (version[5] != '1' || version[7] > '1') {
    Fail(http_status::kVersionNotSupported, "HTTP version other than 1.0 and 1.1");
    return;
  }
  if (method != "GET") {
    Fail(http_status::kNotImplemented, "method other than GET");
    return;
  }

  // Origin form only: "/path" and an optional "?query".
  const std::size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  const auto pathChar = [](char c) { return c == '/' || IsPathChar(c); };
  const auto queryChar = [](char c) { return c == '/' || c == '?' || IsPathChar(c); };
  if (path.empty() || path.front() != '/' || !IsEscapedText(path, pathChar) ||
      !IsEscapedText(query, queryChar)) {
    Fail(http_status::kBadRequest, "malformed request target");
    return;
  }
  std::vector<std::pair<std::string, std::string>> params;
  for (std::size_t start = 0; !query.empty();) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view pair = query.substr(start, end - start);
    const std::size_t equals = pair.find('=');
    std::string name = PercentDecode(pair.substr(0, equals));
    std::string value =
        equals == std::string_view::npos ? std::string() : PercentDecode(pair.substr(equals + 1));
    if (name.empty()) {
      Fail(http_status::kBadRequest, "query parameter without a name");
      return;
    }
    // A repeated name would leave it to each reader which value counts.
    if (std::any_of(params.begin(), params.end(), [&](const auto& p) { return p.first == name; })) {
      Fail(http_status::kBadRequest, "repeated query parameter");
      return;
    }
    params.emplace_back(std::move(name), std::move(value));
    if (end == query.size()) {
      break;
    }
    start = end + 1;
  }

  request_.method = method;
  request_.target = target;
  request_.path = path;
  request_.query = std::move(params);
  request_.minorVersion = version[7] - '0';
  haveRequestLine_ = true;
}

void HttpRequestReader::ParseHeaderLine(std::string_view line) {
  if (line.front() == ' ' || line.front() == '\t') {
    Fail(http_status::kBadRequest, "folded header line");
    return;
  }
  // No blank may stand between the name and its colon.
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
    Fail(http_status::kBadRequest, "malformed header line");
    return;
  }
  const std::string_view value = TrimBlanks(line.substr(colon + 1));
  if (!IsFieldText(value)) {
    Fail(http_status::kBadRequest, "control character in a header value");
    return;
  }
  std::string name = LowerCase(line.substr(0, colon));
  ++headerLines_;
  for (auto& [key, existing] : request_.headers) {
    if (key == name) {
      if (name == "host") {
        Fail(http_status::kBadRequest, "repeated Host header");
        return;
      }
      existing.append(",").append(value);
      return;
    }
  }
  request_.headers.emplace_back(std::move(name), std::string(value));
}

void HttpRequestReader::FinishHead() {
  if (request_.minorVersion == 1 && !request_.Header("host")) {
    Fail(http_status::kBadRequest, "no Host header");
    return;
  }
  if (request_.Header("transfer-encoding")) {
    Fail(http_status::kNotImplemented, "Transfer-Encoding in a request");
    return;
  }
  if (const auto length = request_.Header("content-length")) {
    if (length->empty() || !std::all_of(length->begin(), length->end(), IsDigit)) {
      Fail(http_status::kBadRequest, "malformed Content-Length");
      return;
    }
    if (length->find_first_not_of('0') != std::string_view::npos) {
      Fail(http_status::kPayloadTooLarge, "request with a body");
      return;
    }
  }
  state_ = HttpReadState::kComplete;
}

std::string BuildHttpResponse(int status, std::string_view reason,
                              const std::vector<std::pair<std::string, std::string>>& headers,
                              std::string_view body) {
  if (status < 100 || status > 599 || !IsFieldText(reason)) {
    throw std::invalid_argument("bad HTTP status line");
  }
  std::string text = "HTTP/1.1 ";
  text.append(std::to_string(status)).append(" ").append(reason).append("\r\n");
  for (const auto& [name, value] : headers) {
    if (!IsToken(name) || !IsFieldText(value)) {
      throw std::invalid_argument("bad HTTP header field");
    }
    text.append(name).append(": ").append(value).append("\r\n");
  }
  // 1xx and 204 responses carry no body and no Content-Length.
  if (status >= 200 && status != 204) {
    text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  }
  text.append("\r\n").append(body);
  return text;
}

}  // namespace veyra
