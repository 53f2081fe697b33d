#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/serve/browser_key.h"
#include "host/serve/browser_links.h"
#include "host/serve/page_exchange.h"
#include "host/serve/page_secret.h"

namespace veyra {
namespace {

// A secret is good once, and only until it expires; each change is told.
TEST(PageSecretTest, IsUsedUpOnceAndExpires) {
  std::uint64_t nowUs = 1000;
  std::uint8_t fill = 0;
  std::vector<std::string> told;
  PageSecret secret([&](std::size_t n) { return std::vector<std::uint8_t>(n, ++fill); },
                    [&] { return nowUs; }, [&](const std::string& s) { told.push_back(s); });
  const std::string first = secret.Current();
  ASSERT_EQ(first.size(), 22u);
  EXPECT_FALSE(secret.Use(first.substr(0, 21)));
  EXPECT_FALSE(secret.Use(""));
  EXPECT_EQ(secret.Current(), first);
  EXPECT_TRUE(secret.Use(first));
  EXPECT_FALSE(secret.Use(first));
  const std::string second = secret.Current();
  EXPECT_NE(second, first);

  nowUs += PageSecret::kLifetimeUs;
  EXPECT_FALSE(secret.Use(second));
  EXPECT_NE(secret.Current(), second);
  const std::string third = secret.Current();
  nowUs += PageSecret::kLifetimeUs;
  secret.RenewIfExpired();
  EXPECT_EQ(told, (std::vector<std::string>{first, second, third, secret.Current()}));

  // Without randomness no secret matches, not even an empty one.
  PageSecret broken([](std::size_t) { return std::vector<std::uint8_t>(); }, [] { return 0; },
                    nullptr);
  EXPECT_FALSE(broken.Use(broken.Current()));
}

// One browser at a time: a second one cannot reserve while the first is
// being admitted or streams, and can once the session let it go.
TEST(BrowserLinksTest, HoldOneBrowserAtATime) {
  BrowserLinks links;
  EXPECT_FALSE(links.Next(0).has_value());
  ASSERT_TRUE(links.Reserve());
  EXPECT_FALSE(links.Reserve());
  links.CancelReservation();
  ASSERT_TRUE(links.Reserve());
  BrowserLink link;
  link.peerAddress = "192.0.2.7";
  links.Deliver(std::move(link));
  EXPECT_FALSE(links.Reserve());
  const std::optional<BrowserLink> taken = links.Next(0);
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->peerAddress, "192.0.2.7");
  EXPECT_FALSE(links.Reserve());
  links.Release();
  EXPECT_TRUE(links.Reserve());
  links.Close();
  links.CancelReservation();
  EXPECT_FALSE(links.Reserve());
}

TEST(PageGateTest, HostHeaderMustNameAnAddress) {
  for (const char* good :
       {"192.168.1.20:47820", "10.0.0.1", "localhost:47820", "[::1]:47820", "[fe80::1]"}) {
    EXPECT_TRUE(IsAddressHost(good)) << good;
  }
  for (const char* bad : {"", "evil.example:47820", "192.168.1:47820", "1.2.3.4.5", "1.2.3.4:",
                          "1.2.3.4:x", "[::1", "[::1]x", "1234.1.1.1", "localhost.evil"}) {
    EXPECT_FALSE(IsAddressHost(bad)) << bad;
  }
}

// The pin and the code both sides show come from the key's digest; only a
// whole 32-byte key in strict base64url has one.
TEST(PageGateTest, BrowserKeyGivesPinAndCode) {
  const std::string zeros(43, 'A');  // 32 zero bytes
  const std::optional<PeerIdentity> identity = BrowserKeyIdentity(zeros);
  ASSERT_TRUE(identity.has_value());
  // SHA-256 of 32 zero bytes: 66687aadf862bd77...
  EXPECT_EQ(identity->shortCode, "6668-7AAD-F862-BD77");
  EXPECT_EQ(identity->keyHash, "Zmh6rfhivXdsj8GLjp+OIAiXFIVu4jOzkCpZHQ1fKSU=");
  EXPECT_FALSE(BrowserKeyIdentity(zeros.substr(1)).has_value());
  EXPECT_FALSE(BrowserKeyIdentity(zeros + "A").has_value());
  EXPECT_FALSE(BrowserKeyIdentity(std::string(42, 'A') + "=").has_value());
  EXPECT_FALSE(BrowserKeyIdentity(std::string(42, 'A') + "+").has_value());
}

}  // namespace
}  // namespace veyra
