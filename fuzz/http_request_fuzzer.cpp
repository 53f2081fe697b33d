// Feeds arbitrary bytes to the HTTP request reader in arbitrary pieces and
// checks that the pieces make no difference: the same outcome, the same
// request and, as leftover, what was fed past the head. Also checks what a
// complete request promises its users: a GET in origin form, lower-case
// token field names, values and decoded query text without line ends, a
// head within its bound.
//
// Input: the first byte seeds the piece sizes (1 to 64 bytes, or one piece
// when it is 0); the rest is the stream.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/serve/http_request.h"

namespace {

using veyra::HttpReadState;
using veyra::HttpRequestReader;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

bool HasLineEnd(std::string_view text) { return text.find_first_of("\r\n") != text.npos; }

void CheckRequest(const veyra::HttpRequest& request) {
  Check(request.method == "GET");
  Check(!request.path.empty() && request.path.front() == '/');
  Check(request.target.compare(0, request.path.size(), request.path) == 0);
  Check(request.minorVersion == 0 || request.minorVersion == 1);
  Check(request.headers.size() <= HttpRequestReader::kMaxHeaderLines);
  for (const auto& [name, value] : request.headers) {
    Check(!name.empty());
    for (const char c : name) {
      Check(c > ' ' && c < 0x7F && c != ':' && !(c >= 'A' && c <= 'Z'));
    }
    Check(!HasLineEnd(value));
    Check(value.empty() || (value.front() != ' ' && value.back() != ' '));
    Check(request.Header(name).has_value());
  }
  for (const auto& [name, value] : request.query) {
    Check(!name.empty());
    Check(request.Query(name) == std::string_view(value));
  }
  Check(!HasLineEnd(request.target));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint8_t seed = data[0];
  const std::uint8_t* stream = data + 1;
  const std::size_t length = size - 1;

  HttpRequestReader whole;
  whole.Feed(stream, length);
  if (whole.State() == HttpReadState::kComplete) {
    CheckRequest(whole.Request());
    const std::size_t headBytes = length - whole.Leftover().size();
    Check(headBytes <= HttpRequestReader::kMaxHeadBytes);
    Check(whole.Leftover().data() != nullptr || whole.Leftover().empty());
  } else if (whole.State() == HttpReadState::kFailed) {
    Check(whole.FailureStatus() >= 400 && whole.FailureStatus() <= 505);
    Check(!whole.FailureReason().empty());
  }

  HttpRequestReader pieces;
  std::uint32_t state = seed;
  std::size_t fed = 0;
  while (fed < length && pieces.State() == HttpReadState::kNeedMore) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = seed == 0 ? length : 1 + (state >> 16) % 64;
    const std::size_t take = piece < length - fed ? piece : length - fed;
    pieces.Feed(stream + fed, take);
    fed += take;
  }

  Check(pieces.State() == whole.State());
  Check(pieces.FailureStatus() == whole.FailureStatus());
  Check(pieces.FailureReason() == whole.FailureReason());
  if (whole.State() == HttpReadState::kComplete) {
    const auto& a = whole.Request();
    const auto& b = pieces.Request();
    Check(a.target == b.target && a.headers == b.headers && a.query == b.query);
    // The pieces' leftover is what they fed past the head.
    const std::size_t headBytes = length - whole.Leftover().size();
    Check(pieces.Leftover().size() == fed - headBytes);
    for (std::size_t i = 0; i < pieces.Leftover().size(); ++i) {
      Check(pieces.Leftover()[i] == whole.Leftover()[i]);
    }
  }
  return 0;
}
