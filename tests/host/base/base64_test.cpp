#include "host/base/base64.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace veyra {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64Test, EncodesAndDecodesBothAlphabets) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::string_view standard;
    std::string_view url;
  };
  const Case cases[] = {
      {Bytes(""), "", ""},
      {Bytes("f"), "Zg==", "Zg"},
      {Bytes("fo"), "Zm8=", "Zm8"},
      {Bytes("foo"), "Zm9v", "Zm9v"},
      {Bytes("foob"), "Zm9vYg==", "Zm9vYg"},
      {Bytes("fooba"), "Zm9vYmE=", "Zm9vYmE"},
      {Bytes("foobar"), "Zm9vYmFy", "Zm9vYmFy"},
      // The two characters where the alphabets differ.
      {{0xFB, 0xEF, 0xFF}, "++//", "--__"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64::Encode(c.bytes), c.standard);
    EXPECT_EQ(base64::EncodeUrl(c.bytes), c.url);
    EXPECT_EQ(base64::Decode(c.standard), c.bytes) << c.standard;
    EXPECT_EQ(base64::DecodeUrl(c.url), c.bytes) << c.url;
  }
}

TEST(Base64Test, DecodersRefuseAllButTheOneSpelling) {
  for (const std::string_view text : {
           "Zg=",     // padding
           "Z",       // six bits: no whole byte
           "Zh",      // unused bits not zero ("Zg" is the spelling)
           "Zm9v+A",  // standard alphabet
           "Zm9v/A",  // standard alphabet
           " Zg",     // white space
           "Zg\n",    // line end
       }) {
    EXPECT_FALSE(base64::DecodeUrl(text).has_value()) << text;
  }
  for (const std::string_view text : {
           "Zg",        // no padding
           "Zg=",       // short padding
           "Zh==",      // unused bits not zero
           "Z===",      // six bits
           "====",      // padding alone
           "Zm=v",      // padding inside
           "Zm9v-A==",  // URL alphabet
       }) {
    EXPECT_FALSE(base64::Decode(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace veyra
