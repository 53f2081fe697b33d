#include "host/serve/http_request.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace veyra {
namespace {

struct Outcome {
  HttpReadState state = HttpReadState::kNeedMore;
  int status = 0;
  HttpRequest request;
  std::string leftover;
};

// Feeds |text| in pieces of |piece| bytes (all at once when 0), as long as
// the reader wants more.
Outcome Read(std::string_view text, std::size_t piece = 0) {
  HttpRequestReader reader;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size() && reader.State() == HttpReadState::kNeedMore;) {
    const std::size_t take = piece == 0 ? text.size() : std::min(piece, text.size() - at);
    reader.Feed(bytes + at, take);
    at += take;
  }
  Outcome outcome;
  outcome.state = reader.State();
  outcome.status = reader.FailureStatus();
  EXPECT_EQ(reader.FailureReason().empty(), outcome.state != HttpReadState::kFailed);
  outcome.request = reader.Request();
  const auto leftover = reader.Leftover();
  outcome.leftover.assign(leftover.begin(), leftover.end());
  return outcome;
}

constexpr std::string_view kUpgrade =
    "GET /link?key=a%2Db_c&secret=s%3D HTTP/1.1\r\n"
    "Host: 192.168.1.5:47820\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Origin: https://192.168.1.5:47820\r\n"
    "X-Twice: a\r\n"
    "x-twice: \t b c \r\n"
    "\r\n"
    "\x82\x80"
    "frame";

TEST(HttpRequestReaderTest, ReadsAnUpgradeRequestTheSameWhereverTheStreamIsCut) {
  const Outcome whole = Read(kUpgrade);
  ASSERT_EQ(whole.state, HttpReadState::kComplete);
  const HttpRequest& request = whole.request;
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/link?key=a%2Db_c&secret=s%3D");
  EXPECT_EQ(request.path, "/link");
  EXPECT_EQ(request.Query("key"), "a-b_c");
  EXPECT_EQ(request.Query("secret"), "s=");
  EXPECT_FALSE(request.Query("Key").has_value());
  EXPECT_EQ(request.minorVersion, 1);
  EXPECT_EQ(request.Header("sec-websocket-key"), "dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(request.Header("ORIGIN"), "https://192.168.1.5:47820");
  EXPECT_EQ(request.headers[0].first, "host");
  // Repeated names are joined: a single-value field repeated reads as junk.
  EXPECT_EQ(request.Header("x-twice"), "a,b c");
  EXPECT_FALSE(request.Header("cookie").has_value());
  EXPECT_EQ(whole.leftover,
            "\x82\x80"
            "frame");

  // Cut in two at every byte: the same request, and as leftover what was
  // fed past the head (the caller stops feeding once it is complete).
  const std::size_t headBytes = kUpgrade.size() - whole.leftover.size();
  for (std::size_t cut = 1; cut < kUpgrade.size(); ++cut) {
    HttpRequestReader reader;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(kUpgrade.data());
    if (reader.Feed(bytes, cut) == HttpReadState::kNeedMore) {
      reader.Feed(bytes + cut, kUpgrade.size() - cut);
    }
    ASSERT_EQ(reader.State(), HttpReadState::kComplete) << "cut at " << cut;
    EXPECT_EQ(reader.Request().headers, request.headers) << "cut at " << cut;
    EXPECT_EQ(reader.Request().query, request.query) << "cut at " << cut;
    const auto leftover = reader.Leftover();
    const std::size_t fedPastHead = cut >= headBytes ? cut - headBytes : whole.leftover.size();
    EXPECT_EQ(std::string(leftover.begin(), leftover.end()), whole.leftover.substr(0, fedPastHead))
        << "cut at " << cut;
  }
}

TEST(HttpRequestReaderTest, SettlesEachRequestTheSameWholeAndByteByByte) {
  struct Case {
    std::string_view request;
    HttpReadState state;
    int status;  // when failed
  };
  constexpr auto kDone = HttpReadState::kComplete;
  constexpr auto kFail = HttpReadState::kFailed;
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", kDone, 0},
      {"GET /?flag HTTP/1.0\r\n\r\n", kDone, 0},  // 1.0 needs no Host
      {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 00\r\n\r\n", kDone, 0},
      {"GET / HTTP/1.1\r\nHost: a\r\n\r", HttpReadState::kNeedMore, 0},
      {"POST / HTTP/1.1\r\nHost: a\r\n\r\n", kFail, 501},
      {"GET / HTTP/2.0\r\n", kFail, 505},
      {"GET / HTTP/1.2\r\n", kFail, 505},
      {"GET / HTTP/1.1 \r\n", kFail, 400},
      {"GET / http/1.1\r\n", kFail, 400},
      {"GET  / HTTP/1.1\r\n", kFail, 400},
      {"GET /\r\n", kFail, 400},
      {"\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n", kFail, 400},
      {"GET http://a/ HTTP/1.1\r\n", kFail, 400},  // absolute form
      {"GET /a#b HTTP/1.1\r\n", kFail, 400},
      {"GET /%4 HTTP/1.1\r\n", kFail, 400},
      {"GET /?k=%zz HTTP/1.1\r\n", kFail, 400},
      {"GET /?k=1&k=2 HTTP/1.1\r\n", kFail, 400},
      {"GET /?k=1& HTTP/1.1\r\n", kFail, 400},
      {"GET /?=1 HTTP/1.1\r\n", kFail, 400},
      {"GET / HTTP/1.1\nHost: a\n\n", kFail, 400},  // bare LF
      {"GET / HTTP/1.1\r\nHost: a\rX: b\r\n\r\n", kFail, 400},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: b\r\n c\r\n\r\n", kFail, 400},  // folded
      {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", kFail, 400},
      {"GET / HTTP/1.1\r\n: a\r\n\r\n", kFail, 400},
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", kFail, 400},
      {std::string_view("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26), kFail, 400},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: a\r\n\r\n", kFail, 400},
      {"GET / HTTP/1.1\r\n\r\n", kFail, 400},  // no Host
      {"GET / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", kFail, 501},
      {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", kFail, 413},
      {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: -0\r\n\r\n", kFail, 400},
      {"GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\nContent-Length: 0\r\n\r\n", kFail, 400},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {std::size_t{0}, std::size_t{1}}) {
      const Outcome outcome = Read(c.request, piece);
      EXPECT_EQ(outcome.state, c.state) << c.request << " in pieces of " << piece;
      EXPECT_EQ(outcome.status, c.status) << c.request << " in pieces of " << piece;
    }
  }
}

TEST(HttpRequestReaderTest, HoldsEachBoundToTheByte) {
  const auto requestLine = [](std::size_t bytes) {
    std::string line = "GET /";
    line.append(bytes - line.size() - 9, 'a');
    return line + " HTTP/1.1";
  };
  const auto withHead = [](std::string_view line, std::size_t headBytes) {
    // One filler field that brings the head to |headBytes|.
    std::string head(line);
    head += "\r\nHost: a\r\nX: ";
    head.append(headBytes - head.size() - 4, 'x');
    return head + "\r\n\r\n";
  };
  const auto withFields = [](std::size_t fields) {
    std::string head = "GET / HTTP/1.1\r\nHost: a\r\n";
    for (std::size_t i = 1; i < fields; ++i) {
      head.append("X").append(std::to_string(i)).append(": v\r\n");
    }
    return head + "\r\n";
  };
  constexpr std::size_t kLine = HttpRequestReader::kMaxRequestLineBytes;
  constexpr std::size_t kHead = HttpRequestReader::kMaxHeadBytes;
  struct Case {
    std::string request;
    int status;  // 0: complete
  };
  const Case cases[] = {
      {withHead(requestLine(kLine), kHead), 0},
      {withHead(requestLine(kLine + 1), kHead), 414},
      {requestLine(kLine + 1), 414},  // no line end needed to know
      {withHead("GET / HTTP/1.1", kHead + 1), 431},
      {withHead("GET / HTTP/1.1", kHead + 10).substr(0, kHead + 1), 431},  // unfinished
      {withFields(HttpRequestReader::kMaxHeaderLines), 0},
      {withFields(HttpRequestReader::kMaxHeaderLines + 1), 431},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
      const Outcome outcome = Read(c.request, piece);
      EXPECT_EQ(outcome.state, c.status == 0 ? HttpReadState::kComplete : HttpReadState::kFailed)
          << c.request.size() << " bytes in pieces of " << piece;
      EXPECT_EQ(outcome.status, c.status) << c.request.size() << " bytes in pieces of " << piece;
    }
  }
}

TEST(BuildHttpResponseTest, WritesHeadAndLengthExceptWhereNoBodyMayBe) {
  EXPECT_EQ(BuildHttpResponse(404, "Not Found", {{"Connection", "close"}}, "gone"),
            "HTTP/1.1 404 Not Found\r\n"
            "Connection: close\r\n"
            "Content-Length: 4\r\n"
            "\r\n"
            "gone");
  EXPECT_EQ(BuildHttpResponse(101, "Switching Protocols", {{"Upgrade", "websocket"}}, ""),
            "HTTP/1.1 101 Switching Protocols\r\n"
            "Upgrade: websocket\r\n"
            "\r\n");
  EXPECT_THROW(BuildHttpResponse(200, "OK", {{"X", "a\r\nSet-Cookie: b"}}, ""),
               std::invalid_argument);
  EXPECT_THROW(BuildHttpResponse(200, "OK", {{"X: y", "a"}}, ""), std::invalid_argument);
  EXPECT_THROW(BuildHttpResponse(200, "OK\n", {}, ""), std::invalid_argument);
}

}  // namespace
}  // namespace veyra
