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
#include "tests/host/net/tls_channel_fixture.h"

namespace veyra {
namespace {

using testing_net::TlsChannelTest;

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
  MakeChannelOnSecondsClock(nowUs, clockReads);
  std::atomic<bool> done{false};
  std::thread server = TrickleIncompleteMessage(done, true);
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
    peer_.Write(EndlessHandshakeMessage());
  });
  std::string lines;
  RecordingLogSink sink(&lines);
  EXPECT_EQ(channel_->Handshake(client_.Get(), "h"), status::kEFail);
  server.join();
  EXPECT_THAT(sink.Text(),
              ::testing::HasSubstr("ERROR TLS handshake token exceeded 32768 bytes; aborting\n"));
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
