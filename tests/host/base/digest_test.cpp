#include "host/base/digest.h"

#include <gtest/gtest.h>

#include <string_view>

#include "host/base/hex_text.h"

namespace veyra {
namespace {

const std::uint8_t* Bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

TEST(DigestTest, MatchesPublishedVectors) {
  struct Case {
    std::string_view input;
    std::string_view sha1;
    std::string_view sha256;
  };
  const Case cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // Two blocks once padded.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LowerHexBytes(Sha1(Bytes(c.input), c.input.size())), c.sha1) << c.input;
    EXPECT_EQ(LowerHexBytes(Sha256(Bytes(c.input), c.input.size())), c.sha256) << c.input;
  }
  // No bytes at all, as an empty vector's data() may give.
  EXPECT_EQ(LowerHexBytes(Sha256(nullptr, 0)), cases[0].sha256);
}

}  // namespace
}  // namespace veyra
