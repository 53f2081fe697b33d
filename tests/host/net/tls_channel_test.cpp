#include "host/net/tls_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "host/base/hex_text.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/net/fake_tls_provider.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra {
namespace {

using testing_net::LoopbackPeer;

TEST(TlsChannelPureTest, ShortCodeIsFirstEightDigestBytesGroupedByTwo) {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<std::uint8_t>(0xF0 + i);
  }
  EXPECT_EQ(ShortCodeFromDigest(digest), "F0F1-F2F3-F4F5-F6F7");
  digest = {0xAB, 0xCD, 0x01, 0x23, 0x45, 0x67, 0x89, 0xEF};
  EXPECT_EQ(ShortCodeFromDigest(digest), "ABCD-0123-4567-89EF");
  EXPECT_EQ(ShortCodeFromDigest({}), "0000-0000-0000-0000");
}

TEST(TlsChannelPureTest, NamesTheNegotiatedProtocolOfEitherSide) {
  EXPECT_STREQ(TlsProtocolName(0x800), "TLS1.2");
  EXPECT_STREQ(TlsProtocolName(0x2000), "TLS1.3");
  EXPECT_STREQ(TlsProtocolName(0x400), "TLS1.2");
  EXPECT_STREQ(TlsProtocolName(0x1000), "TLS1.3");
  EXPECT_STREQ(TlsProtocolName(0x200), "TLS");
  EXPECT_STREQ(TlsProtocolName(0), "TLS");
}

TEST(TlsChannelPureTest, KeepsTheTrailingUnconsumedBytes) {
  std::vector<std::uint8_t> buffer{1, 2, 3, 4, 5};
  KeepTrailingBytes(buffer, 2);
  EXPECT_EQ(buffer, (std::vector<std::uint8_t>{4, 5}));
  KeepTrailingBytes(buffer, 9);
  EXPECT_EQ(buffer, (std::vector<std::uint8_t>{4, 5}));
  KeepTrailingBytes(buffer, 0);
  EXPECT_TRUE(buffer.empty());
}

// A client socket connected to a loopback peer, and the TLS channel under
// test with a scripted provider.
class TlsChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartSockets());
    ASSERT_TRUE(peer_.listening());
    ASSERT_TRUE(testing_net::ConnectToLoopback(peer_.port(), client_));
    ASSERT_TRUE(peer_.Accept());
  }

  void MakeChannel(FakeTlsProvider::Script script = {}) {
    auto provider = std::make_unique<FakeTlsProvider>(std::move(script));
    provider_ = provider.get();
    channel_ = std::make_unique<TlsChannel>(std::move(provider));
  }

  // The server's half of the handshake on the peer's thread: |rounds|
  // SERVER_HELLO records, then |afterLast| in the same write as the last.
  std::thread ServeHandshake(int rounds = 1, const std::vector<std::uint8_t>& afterLast = {}) {
    return std::thread([this, rounds, afterLast] {
      std::vector<std::uint8_t> stream;
      ReadRecords(stream, 1);  // CLIENT_HELLO
      for (int i = 0; i < rounds; ++i) {
        std::vector<std::uint8_t> hello = fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO");
        if (i + 1 == rounds) {
          hello.insert(hello.end(), afterLast.begin(), afterLast.end());
        }
        peer_.Write(hello);
      }
      ReadRecords(stream, 1);  // CLIENT_FINISHED
    });
  }

  std::vector<fake_tls::ParsedRecord> ReadRecords(std::vector<std::uint8_t>& stream,
                                                  std::size_t count) {
    std::vector<fake_tls::ParsedRecord> records;
    while (records.size() < count) {
      auto more = fake_tls::TakeRecords(stream);
      records.insert(records.end(), more.begin(), more.end());
      if (records.size() >= count) {
        break;
      }
      std::uint8_t buffer[4096];
      const long n = ReceiveSome(peer_.socket(), buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      stream.insert(stream.end(), buffer, buffer + n);
    }
    return records;
  }

  void Handshaken(FakeTlsProvider::Script script = {},
                  const std::vector<std::uint8_t>& afterLast = {}) {
    MakeChannel(std::move(script));
    std::thread server = ServeHandshake(1, afterLast);
    ASSERT_EQ(channel_->Handshake(client_.Get(), "127.0.0.1"), 0);
    server.join();
  }

  static std::vector<std::uint8_t> Bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    return bytes;
  }

  LoopbackPeer peer_;
  ScopedSocket client_;
  FakeTlsProvider* provider_ = nullptr;
  std::unique_ptr<TlsChannel> channel_;
};

TEST_F(TlsChannelTest, HandshakeGivesIdentityProtocolAndSizes) {
  std::string lines;
  RecordingLogSink sink(&lines);
  Handshaken();
  const std::string log = sink.Text();
  EXPECT_EQ(channel_->PeerKeyHash(), "Zm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyMDA=");
  EXPECT_EQ(channel_->PeerShortCode(), "ABCD-0123-4567-89EF");
  EXPECT_EQ(channel_->ProtocolName(), "TLS1.2");
  EXPECT_EQ(channel_->StreamSizes().maxMessageSize, 16384u);
  EXPECT_EQ(provider_->targetName(), "127.0.0.1");
  EXPECT_THAT(log, ::testing::HasSubstr("INFO  TLS established (TLS1.2), peer key "
                                        "Zm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyMDA=\n"));
}

TEST_F(TlsChannelTest, HandshakeOverSeveralRoundsInPieces) {
  FakeTlsProvider::Script script;
  script.serverRounds = 3;
  script.protocol = 0x2000;
  MakeChannel(script);
  std::thread server([this] {
    std::vector<std::uint8_t> stream;
    ReadRecords(stream, 1);
    std::vector<std::uint8_t> flight;
    for (int i = 0; i < 3; ++i) {
      const auto hello = fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO");
      flight.insert(flight.end(), hello.begin(), hello.end());
    }
    // Five bytes at a time, so that steps see incomplete messages.
    for (std::size_t offset = 0; offset < flight.size(); offset += 5) {
      const std::size_t piece = std::min<std::size_t>(5, flight.size() - offset);
      peer_.Write({flight.begin() + static_cast<std::ptrdiff_t>(offset),
                   flight.begin() + static_cast<std::ptrdiff_t>(offset + piece)});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ReadRecords(stream, 1);
  });
  EXPECT_EQ(channel_->Handshake(client_.Get(), "receiver.local"), 0);
  server.join();
  EXPECT_EQ(channel_->ProtocolName(), "TLS1.3");
}

TEST_F(TlsChannelTest, FlightInOneReadIsSteppedThroughWithoutAnotherRead) {
  FakeTlsProvider::Script script;
  script.serverRounds = 2;
  MakeChannel(script);
  // Both of the server's messages in one write, and nothing more until the
  // client has answered: a step that read before using the bytes left over
  // from the first message would wait for ever.
  std::thread server([this] {
    std::vector<std::uint8_t> stream;
    ReadRecords(stream, 1);
    std::vector<std::uint8_t> flight = fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO");
    const auto second = fake_tls::Record(fake_tls::kHandshake, "SERVER_DONE");
    flight.insert(flight.end(), second.begin(), second.end());
    peer_.Write(flight);
    const auto finished = ReadRecords(stream, 1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(std::string(finished[0].payload.begin(), finished[0].payload.end()),
              "CLIENT_FINISHED");
  });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Handshake(client_.Get(), "h"), 0);
  server.join();
  // The opening step, then one per server message.
  EXPECT_EQ(provider_->steps(), 3);
  EXPECT_THAT(sink.Text(), ::testing::HasSubstr("INFO  TLS established (TLS1.2)"));
}

// A peer that keeps a handshake message incomplete by sending a byte now
// and then, on a clock that moves one second per reading.
TEST_F(TlsChannelTest, TricklingPeerMeetsTheOverallDeadline) {
  std::uint64_t nowUs = 0;
  int clockReads = 0;
  auto provider = std::make_unique<FakeTlsProvider>();
  provider_ = provider.get();
  channel_ = std::make_unique<TlsChannel>(std::move(provider), [&] {
    ++clockReads;
    return (nowUs += 1000000);
  });
  std::atomic<bool> done{false};
  std::thread server([this, &done] {
    std::vector<std::uint8_t> stream;
    ReadRecords(stream, 1);
    // A header announcing 30,000 bytes that never all come.
    peer_.Write({fake_tls::kHandshake, 3, 3, 0x75, 0x30});
    while (!done.load()) {
      if (!peer_.Write({0x11})) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::string lines;
  RecordingLogSink sink(&lines);
  const std::int32_t result = channel_->Handshake(client_.Get(), "h");
  done = true;
  server.join();
  EXPECT_EQ(result, status::kTimedOutHresult);
  EXPECT_THAT(sink.Text(),
              ::testing::HasSubstr("ERROR TLS handshake took longer than 10000 ms; aborting\n"));
  // The deadline is read once at the start and once before each read: nine
  // reads fit into ten seconds, each followed by one step.
  EXPECT_EQ(clockReads, 11);
  EXPECT_EQ(provider_->steps(), 10);
  EXPECT_FALSE(provider_->HasContext());
}

TEST_F(TlsChannelTest, LargeSendLeavesAsRecordsOfAtMostMaxMessageSize) {
  Handshaken();
  const std::vector<std::uint8_t> data = Bytes(100000);
  std::string failure;
  ASSERT_TRUE(channel_->Send(data.data(), data.size(), failure));
  EXPECT_EQ(provider_->recordsEncrypted(), 7);

  std::vector<std::uint8_t> stream;
  const auto records = ReadRecords(stream, 7);
  ASSERT_EQ(records.size(), 7u);
  std::vector<std::uint8_t> joined;
  for (const auto& record : records) {
    EXPECT_EQ(record.type, fake_tls::kApplicationData);
    EXPECT_LE(record.payload.size(), 16384u);
    joined.insert(joined.end(), record.payload.begin(), record.payload.end());
  }
  EXPECT_EQ(joined, data);
}

TEST_F(TlsChannelTest, RecordsBehindTheLastHandshakeMessageNeedNoFurtherRead) {
  std::vector<std::uint8_t> behind = fake_tls::Record(fake_tls::kApplicationData, "first");
  const auto second = fake_tls::Record(fake_tls::kApplicationData, "second");
  behind.insert(behind.end(), second.begin(), second.end());
  Handshaken({}, behind);
  // Nothing more will come: a read would see the end of the stream.
  ShutdownSocket(peer_.socket());

  std::vector<std::uint8_t> plain;
  std::string failure;
  EXPECT_EQ(channel_->Receive(plain, failure), 5);
  EXPECT_EQ(channel_->Receive(plain, failure), 6);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "firstsecond");
  EXPECT_EQ(channel_->Receive(plain, failure), 0);
}

TEST_F(TlsChannelTest, RecordSplitAcrossManyReadsIsDecryptedOnceComplete) {
  Handshaken();
  const std::vector<std::uint8_t> data = Bytes(3000);
  const auto record = fake_tls::Record(fake_tls::kApplicationData, data.data(), data.size());
  std::thread writer([&] {
    for (std::size_t offset = 0; offset < record.size(); offset += 97) {
      const std::size_t piece = std::min<std::size_t>(97, record.size() - offset);
      peer_.Write({record.begin() + static_cast<std::ptrdiff_t>(offset),
                   record.begin() + static_cast<std::ptrdiff_t>(offset + piece)});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::uint8_t> plain;
  std::string failure;
  EXPECT_EQ(channel_->Receive(plain, failure), 3000);
  writer.join();
  EXPECT_EQ(plain, data);
}

TEST_F(TlsChannelTest, PostHandshakeMessageIsSteppedThroughAndDataFollows) {
  Handshaken();
  // A ticket in two records, the second arriving later: the step waits for
  // it, then the application data behind it comes out.
  const auto part1 = fake_tls::Record(fake_tls::kHandshake, "FRAG-ticket");
  const auto part2 = fake_tls::Record(fake_tls::kHandshake, "rest-of-ticket");
  const auto data = fake_tls::Record(fake_tls::kApplicationData, "payload");
  std::thread writer([&] {
    peer_.Write(part1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<std::uint8_t> tail = part2;
    tail.insert(tail.end(), data.begin(), data.end());
    peer_.Write(tail);
  });
  std::vector<std::uint8_t> plain;
  std::string failure;
  EXPECT_EQ(channel_->Receive(plain, failure), 7);
  writer.join();
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "payload");
  EXPECT_EQ(provider_->postHandshakeSteps(), 1);
}

TEST_F(TlsChannelTest, ReceiveGivesZeroWhenThePeerClosesTheSession) {
  Handshaken();
  std::string failure;
  std::vector<std::uint8_t> plain;
  std::string lines;
  RecordingLogSink sink(&lines);
  peer_.Write(fake_tls::Record(fake_tls::kClose, "close_notify"));
  EXPECT_EQ(channel_->Receive(plain, failure), 0);
  EXPECT_THAT(sink.Text(), ::testing::HasSubstr("INFO  TLS: peer closed the session\n"));
}

TEST_F(TlsChannelTest, ReceiveFailsOnARecordThatDoesNotDecrypt) {
  Handshaken();
  std::string failure;
  std::vector<std::uint8_t> plain;
  std::string lines;
  RecordingLogSink sink(&lines);
  peer_.Write(fake_tls::Record(0x42, "junk"));
  EXPECT_EQ(channel_->Receive(plain, failure), -1);
  EXPECT_EQ(failure, "TLS receive failed");
  EXPECT_THAT(sink.Text(), ::testing::HasSubstr("WARN  DecryptMessage failed: " +
                                                StatusHex(status::kSecEIllegalMessage) + "\n"));
  EXPECT_TRUE(plain.empty());
}

TEST_F(TlsChannelTest, ReceiveGivesZeroWhenThePeerEndsTheStream) {
  Handshaken();
  peer_.Close();
  std::vector<std::uint8_t> plain;
  std::string failure;
  EXPECT_EQ(channel_->Receive(plain, failure), 0);
}

TEST_F(TlsChannelTest, RefusedCredentialsFailWithTheirStatus) {
  FakeTlsProvider::Script script;
  script.credentialsStatus = status::kSecENoCredentials;
  MakeChannel(script);
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Handshake(client_.Get(), "h"), status::kSecENoCredentials);
  const std::string log = sink.Text();
  const std::string code = StatusHex(status::kSecENoCredentials);
  EXPECT_THAT(log, ::testing::HasSubstr("ERROR AcquireCredentialsHandle failed: " + code + "\n"));
  EXPECT_THAT(log, ::testing::HasSubstr("ERROR TLS credentials failed: " + code));
  EXPECT_GE(provider_->releases(), 1);
}

TEST_F(TlsChannelTest, FailingHandshakeStepReturnsItsStatus) {
  FakeTlsProvider::Script script;
  script.failHandshakeWith = status::kSecEAlgorithmMismatch;
  MakeChannel(script);
  std::thread server([this] {
    std::vector<std::uint8_t> stream;
    ReadRecords(stream, 1);
    peer_.Write(fake_tls::Record(fake_tls::kHandshake, "SERVER_HELLO"));
  });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Handshake(client_.Get(), "h"), status::kSecEAlgorithmMismatch);
  server.join();
  EXPECT_THAT(sink.Text(), ::testing::HasSubstr("ERROR InitializeSecurityContext failed: " +
                                                StatusHex(status::kSecEAlgorithmMismatch) + "\n"));
  EXPECT_FALSE(provider_->HasContext());
}

TEST_F(TlsChannelTest, PeerClosingDuringHandshakeFails) {
  MakeChannel();
  std::thread server([this] {
    std::vector<std::uint8_t> stream;
    ReadRecords(stream, 1);
    peer_.Close();
  });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Handshake(client_.Get(), "h"), status::kEFail);
  server.join();
  EXPECT_THAT(sink.Text(),
              ::testing::HasSubstr("ERROR TLS handshake: peer closed or read failed ("));
}

TEST_F(TlsChannelTest, EndlessHandshakeMessageIsCutOffAfter32KiB) {
  MakeChannel();
  std::thread server([this] {
    std::vector<std::uint8_t> stream;
    ReadRecords(stream, 1);
    // A header announcing 60,000 bytes, then more than 32 KiB of them.
    std::vector<std::uint8_t> message{fake_tls::kHandshake, 3, 3, 0xEA, 0x60};
    message.resize(5 + 40000, 0x11);
    peer_.Write(message);
  });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Handshake(client_.Get(), "h"), status::kEFail);
  server.join();
  EXPECT_THAT(sink.Text(),
              ::testing::HasSubstr("ERROR TLS handshake token exceeded 32768 bytes; aborting\n"));
}

// The server's side: the channel accepts on the socket the test's peer
// writes the client's records into.
class TlsServerChannelTest : public TlsChannelTest {
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
  auto provider = std::make_unique<FakeTlsProvider>();
  provider_ = provider.get();
  channel_ = std::make_unique<TlsChannel>(std::move(provider), [&] {
    ++clockReads;
    return (nowUs += 1000000);
  });
  std::atomic<bool> done{false};
  std::thread client([this, &done] {
    // A header announcing 30,000 bytes that never all come.
    peer_.Write({fake_tls::kHandshake, 3, 3, 0x75, 0x30});
    while (!done.load() && peer_.Write({0x11})) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
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
  std::vector<std::uint8_t> message{fake_tls::kHandshake, 3, 3, 0xEA, 0x60};
  message.resize(5 + 40000, 0x11);
  std::thread client([&] { peer_.Write(message); });
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

TEST_F(TlsChannelTest, SendAndReceiveFailWithoutAHandshake) {
  MakeChannel();
  std::string failure;
  const std::uint8_t byte = 1;
  EXPECT_FALSE(channel_->Send(&byte, 1, failure));
  EXPECT_EQ(failure, "TLS send failed");
  std::vector<std::uint8_t> plain;
  EXPECT_EQ(channel_->Receive(plain, failure), -1);
}

}  // namespace
}  // namespace veyra
