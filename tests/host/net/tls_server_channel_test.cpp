#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/base/hex_text.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "tests/host/net/tls_channel_fixture.h"

namespace veyra {
namespace {

// The server's side: the channel accepts on the socket the test's peer
// writes the client's records into.
class TlsServerChannelTest : public testing_net::TlsChannelTest {
 protected:
  // Writes |bytes| a few at a time, so that the server reads them in
  // pieces.
  void Trickle(const std::vector<std::uint8_t>& bytes, std::size_t piece) {
    for (std::size_t offset = 0; offset < bytes.size(); offset += piece) {
      const std::size_t length = std::min(piece, bytes.size() - offset);
      peer_.Write({bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(offset + length)});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
};

// The client's first bytes partly taken already by the caller, the rest in
// pieces; its last message and a request in one write. The stream ends
// once the server's reply came, so the request must come out of Receive
// without another read.
TEST_F(TlsServerChannelTest, AcceptTakesAFlightInPiecesAndKeepsWhatFollowsForReceive) {
  FakeTlsProvider::Script script;
  script.serverRounds = 2;
  MakeChannel(script);
  const std::vector<std::uint8_t> hello = fake_tls::Record(fake_tls::kHandshake, "CLIENT_HELLO");
  std::vector<fake_tls::ParsedRecord> answer;
  std::vector<fake_tls::ParsedRecord> reply;
  std::thread client([&] {
    Trickle({hello.begin() + 2, hello.end()}, 3);
    std::vector<std::uint8_t> stream;
    answer = ReadRecords(stream, 2);
    std::vector<std::uint8_t> last = fake_tls::Record(fake_tls::kHandshake, "CLIENT_FINISHED");
    const auto request = fake_tls::Record(fake_tls::kApplicationData, "GET /");
    last.insert(last.end(), request.begin(), request.end());
    peer_.Write(last);
    reply = ReadRecords(stream, 1);
    ShutdownSocket(peer_.socket());
  });
  const std::int32_t accepted = channel_->Accept(client_.Get(), 5000, {hello[0], hello[1]});
  std::string failure;
  const std::uint8_t code[] = {'2', '0', '0'};
  const bool sent = accepted == 0 && channel_->Send(code, sizeof(code), failure);
  client.join();
  ASSERT_EQ(accepted, 0);
  EXPECT_TRUE(sent);
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(std::string(answer[1].payload.begin(), answer[1].payload.end()), "SERVER_HELLO");
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(std::string(reply[0].payload.begin(), reply[0].payload.end()), "200");
  EXPECT_EQ(channel_->PeerKeyHash(), "");
  EXPECT_EQ(channel_->PeerShortCode(), "");
  EXPECT_EQ(channel_->ProtocolName(), "TLS1.2");

  std::vector<std::uint8_t> plain;
  EXPECT_EQ(channel_->Receive(plain, failure), 5);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "GET /");
  EXPECT_EQ(channel_->Receive(plain, failure), 0);
}

// A client that keeps its first message incomplete, a byte now and then,
// on a clock that moves one second per reading, against a 5 s deadline.
TEST_F(TlsServerChannelTest, TricklingClientMeetsTheDeadlineTheCallerSet) {
  std::uint64_t nowUs = 0;
  int clockReads = 0;
  MakeChannelOnSecondsClock(nowUs, clockReads);
  std::atomic<bool> done{false};
  std::thread client = TrickleIncompleteMessage(done, false);
  std::string lines;
  RecordingLogSink sink(&lines);
  const std::int32_t result = channel_->Accept(client_.Get(), 5000);
  done = true;
  client.join();
  EXPECT_EQ(result, status::kTimedOutHresult);
  EXPECT_THAT(sink.Text(),
              ::testing::HasSubstr("ERROR TLS handshake took longer than 5000 ms; aborting\n"));
  // Read once at the start and once before each read: four reads fit into
  // five seconds, each followed by one step.
  EXPECT_EQ(clockReads, 6);
  EXPECT_EQ(provider_->steps(), 4);
}

TEST_F(TlsServerChannelTest, EndlessClientMessageIsCutOffAfter32KiB) {
  MakeChannel();
  std::thread client([this] { peer_.Write(EndlessHandshakeMessage()); });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Accept(client_.Get()), status::kEFail);
  client.join();
  EXPECT_THAT(sink.Text(),
              ::testing::HasSubstr("ERROR TLS handshake token exceeded 32768 bytes; aborting\n"));
}

// As under Wine, whose Schannel has no server side: one error line that
// names the status and what it means.
TEST_F(TlsServerChannelTest, FailingServerStepIsOneLineNamingItsStatus) {
  FakeTlsProvider::Script script;
  script.failHandshakeWith = status::kSecEUnsupportedFunction;
  MakeChannel(script);
  std::thread client(
      [this] { peer_.Write(fake_tls::Record(fake_tls::kHandshake, "CLIENT_HELLO")); });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Accept(client_.Get()), status::kSecEUnsupportedFunction);
  client.join();
  const std::string log = sink.Text();
  EXPECT_THAT(log, ::testing::HasSubstr("ERROR AcceptSecurityContext failed: " +
                                        StatusHex(status::kSecEUnsupportedFunction) +
                                        " (this system's TLS cannot act as a server)\n"));
  EXPECT_EQ(log.find("ERROR"), log.rfind("ERROR"));
  EXPECT_FALSE(provider_->HasContext());
}

}  // namespace
}  // namespace veyra
