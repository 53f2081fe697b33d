// The TLS server natively: its identity kept in a folder of the test's, and
// an OpenSSL server channel against the OpenSSL client channel over
// loopback TCP.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/net/openssl_handles_posix.h"
#include "host/net/openssl_tls_provider.h"
#include "host/net/tls_identity_store.h"
#include "host/net/tls_server_identity.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra {
namespace {

using ::testing::HasSubstr;

TEST(TlsServerIdentityPureTest, FingerprintIsUpperCaseHexPairsJoinedByColons) {
  std::array<std::uint8_t, 32> digest{};
  digest[0] = 0x0A;
  digest[1] = 0xFF;
  digest[31] = 0x10;
  const std::string text = FingerprintText(digest);
  EXPECT_EQ(text.size(), 95u);
  EXPECT_EQ(text.substr(0, 9), "0A:FF:00:");
  EXPECT_EQ(text.substr(text.size() - 3), ":10");
}

TEST(TlsServerIdentityPureTest, KeyStoreStatusDecidesMakeReplaceOrLeave) {
  EXPECT_EQ(StoredKeyFromOpenStatus(status::kSecEOk), StoredItem::kRead);
  EXPECT_EQ(StoredKeyFromOpenStatus(status::kNteBadKeyset), StoredItem::kAbsent);
  EXPECT_EQ(StoredKeyFromOpenStatus(status::kNteBadData), StoredItem::kDamaged);
  EXPECT_EQ(StoredKeyFromOpenStatus(status::kNteBadKey), StoredItem::kDamaged);
  EXPECT_EQ(StoredKeyFromOpenStatus(status::kNteNotSupported), StoredItem::kUnreadable);
  EXPECT_EQ(StoredKeyFromOpenStatus(status::kEAccessDenied), StoredItem::kUnreadable);
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

unsigned ModeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777u : 0u;
}

X509Ptr ReadCertificate(const std::string& path) {
  const std::string pem = ReadText(path);
  const BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

// A fresh folder under the test's temporary one, not made yet: the identity
// makes it.
class TlsServerIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string base = ::testing::TempDir() + "veyra-tls-XXXXXX";
    ASSERT_NE(::mkdtemp(base.data()), nullptr);
    base_ = base;
    folder_ = base_ + "/veyra";
  }

  void TearDown() override {
    for (const char* name : {"/page-key.pem", "/page-cert.pem"}) {
      ::unlink((folder_ + name).c_str());
    }
    ::rmdir((folder_ + "/page-key.pem").c_str());
    ::rmdir(folder_.c_str());
    ::rmdir(base_.c_str());
  }

  std::string KeyPath() const { return folder_ + "/page-key.pem"; }
  std::string CertificatePath() const { return folder_ + "/page-cert.pem"; }

  std::string base_;
  std::string folder_;
};

TEST_F(TlsServerIdentityTest, MadeOnceKeptPrivateAndLoadedAgain) {
  std::string lines;
  RecordingLogSink sink(&lines);
  const auto made = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(made, nullptr);
  EXPECT_THAT(sink.Text(),
              HasSubstr("INFO  TLS server key: none in " + folder_ + " yet; making one\n"));
  EXPECT_EQ(ModeOf(folder_), 0700u);
  EXPECT_EQ(ModeOf(KeyPath()), 0600u);

  // The fingerprint is the stored certificate's, which is self-signed for
  // "Veyra host", valid from a day back for ten years.
  const X509Ptr certificate = ReadCertificate(CertificatePath());
  ASSERT_NE(certificate, nullptr);
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  ASSERT_EQ(X509_digest(certificate.get(), EVP_sha256(), digest.data(), &length), 1);
  EXPECT_EQ(made->Fingerprint(), FingerprintText(digest));
  char name[64] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, name,
                            sizeof(name));
  EXPECT_STREQ(name, "Veyra host");
  EXPECT_EQ(X509_check_issued(certificate.get(), certificate.get()), X509_V_OK);
  int days = 0;
  int seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(certificate.get()), nullptr), 1);
  EXPECT_EQ(days, 1);
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate.get())), 1);
  EXPECT_GE(days, 3649);

  const std::string before = sink.Text();
  const auto loaded = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->Fingerprint(), made->Fingerprint());
  EXPECT_EQ(sink.Text(), before);  // nothing made, nothing to say
}

// A damaged certificate is made again for the same key; a damaged key is
// replaced once, not at every start; a key that cannot be read stays.
TEST_F(TlsServerIdentityTest, DamageIsRepairedOnceAndAnUnreadableKeyLeftAlone) {
  const auto first = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(first, nullptr);
  const std::string key = ReadText(KeyPath());
  std::string lines;
  RecordingLogSink sink(&lines);

  WriteText(CertificatePath(), "-----BEGIN CERTIFICATE-----\nnot one\n");
  const auto newCertificate = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(newCertificate, nullptr);
  EXPECT_NE(newCertificate->Fingerprint(), first->Fingerprint());
  EXPECT_EQ(ReadText(KeyPath()), key);
  EXPECT_THAT(sink.Text(), HasSubstr("WARN  TLS server certificate in " + folder_ +
                                     " cannot be used (not a PEM certificate: "));

  WriteText(KeyPath(), "damaged");
  const auto newKey = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(newKey, nullptr);
  EXPECT_NE(ReadText(KeyPath()), key);
  EXPECT_THAT(sink.Text(), HasSubstr("WARN  TLS server key in " + folder_ +
                                     " cannot be used (not a PEM private key: "));
  const std::string before = sink.Text();
  const auto again = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Fingerprint(), newKey->Fingerprint());
  EXPECT_EQ(sink.Text(), before);

  // Where the key should be, something that gives no bytes.
  ASSERT_EQ(::unlink(KeyPath().c_str()), 0);
  ASSERT_EQ(::mkdir(KeyPath().c_str(), 0700), 0);
  EXPECT_EQ(LoadOrCreateTlsServerIdentity(folder_), nullptr);
  EXPECT_THAT(sink.Text(),
              HasSubstr("ERROR TLS server key in " + folder_ + " cannot be read (read " +
                        KeyPath() + ": Is a directory); leaving it as it is\n"));
  EXPECT_EQ(ModeOf(KeyPath()) & 0700u, 0700u);
}

// The host's page server and a TLS client on loopback: the client sees the
// stored certificate's key, and data goes both ways.
TEST_F(TlsServerIdentityTest, ServerChannelTalksToTheClientChannel) {
  ASSERT_TRUE(StartSockets());
  const auto identity = LoadOrCreateTlsServerIdentity(folder_);
  ASSERT_NE(identity, nullptr);
  testing_net::LoopbackPeer peer;
  ScopedSocket clientSocket;
  ASSERT_TRUE(testing_net::ConnectToLoopback(peer.port(), clientSocket));
  ASSERT_TRUE(peer.Accept());

  const std::unique_ptr<TlsChannel> server = CreatePlatformTlsServerChannel(*identity);
  TlsChannel client(CreateOpenSslTlsProvider());
  std::int32_t accepted = -1;
  std::thread serving([&] { accepted = server->Accept(peer.socket(), 5000); });
  const std::int32_t connected = client.Handshake(clientSocket.Get(), "127.0.0.1");
  serving.join();
  ASSERT_EQ(accepted, status::kSecEOk);
  ASSERT_EQ(connected, status::kSecEOk);
  EXPECT_EQ(server->ProtocolName(), "TLS1.3");
  EXPECT_EQ(server->PeerKeyHash(), "");

  // The key hash the client computed is the stored certificate's key's.
  const X509Ptr certificate = ReadCertificate(CertificatePath());
  ASSERT_NE(certificate, nullptr);
  unsigned char* der = nullptr;
  const int derLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &der);
  unsigned char digest[32];
  unsigned int digestLength = 0;
  EVP_Digest(der, static_cast<std::size_t>(derLength), digest, &digestLength, EVP_sha256(),
             nullptr);
  OPENSSL_free(der);
  char keyHash[64] = {};
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(keyHash), digest, sizeof(digest));
  EXPECT_EQ(client.PeerKeyHash(), keyHash);

  std::vector<std::uint8_t> up(100000);
  for (std::size_t i = 0; i < up.size(); ++i) {
    up[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  }
  const std::vector<std::uint8_t> down(up.rbegin(), up.rbegin() + 30000);
  std::string failure;
  std::thread sending([&] { EXPECT_TRUE(client.Send(up.data(), up.size(), failure)); });
  std::vector<std::uint8_t> received;
  std::string receiveFailure;
  while (received.size() < up.size() && server->Receive(received, receiveFailure) > 0) {
  }
  sending.join();
  EXPECT_EQ(received, up);
  ASSERT_TRUE(server->Send(down.data(), down.size(), receiveFailure));
  std::vector<std::uint8_t> back;
  while (back.size() < down.size() && client.Receive(back, failure) > 0) {
  }
  EXPECT_EQ(back, down);
}

}  // namespace
}  // namespace veyra
