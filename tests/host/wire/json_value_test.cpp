#include "host/wire/json_value.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/wire/protocol_error.h"

namespace veyra {
namespace {

std::string ParseFailure(std::string_view text, std::size_t maxValues = kJsonUnlimitedValues) {
  try {
    Parse(text, maxValues);
  } catch (const ProtocolError& error) {
    return error.what();
  }
  return "(parsed)";
}

std::string Nested(int depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

// An object nested |depth| deep: {"a":{"a":{}}} for 3.
std::string NestedObjects(int depth) {
  std::string text;
  for (int i = 1; i < depth; ++i) {
    text += "{\"a\":";
  }
  text += "{}";
  text += std::string(depth - 1, '}');
  return text;
}

TEST(JsonParseTest, RefusesMalformedTextWithItsFixedMessage) {
  struct Case {
    std::string text;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"", "unexpected end of JSON"},
      {" \t\r\n", "unexpected end of JSON"},
      {"[", "unexpected end of JSON"},
      {"[1", "unexpected end of JSON"},
      {"[1 ", "unexpected end of JSON"},
      {"{", "unexpected end of JSON"},
      {"{\"a\"", "unexpected end of JSON"},
      {"{\"a\" ", "unexpected end of JSON"},
      {"{\"a\":", "unexpected end of JSON"},
      {"{\"a\":1", "unexpected end of JSON"},
      {"\"abc", "unexpected end of JSON"},
      {"\"abc\\", "unexpected end of JSON"},
      {"[1,]", "unexpected character in JSON"},
      {"{\"a\":1,}", "unexpected character in JSON"},
      {"{\"a\" 1}", "unexpected character in JSON"},
      {"{a:1}", "unexpected character in JSON"},
      {"{,}", "unexpected character in JSON"},
      {"+1", "unexpected character in JSON"},
      {".5", "unexpected character in JSON"},
      {"]", "unexpected character in JSON"},
      {"'a'", "unexpected character in JSON"},
      {"nul", "bad JSON literal"},
      {"tru", "bad JSON literal"},
      {"nulx", "bad JSON literal"},
      {"True", "unexpected character in JSON"},
      {"fals", "bad JSON literal"},
      {"[1 2]", "expected , or ] in JSON array"},
      {"[1:2]", "expected , or ] in JSON array"},
      {"{\"a\":1 \"b\":2}", "expected , or } in JSON object"},
      {"{\"a\":1]", "expected , or } in JSON object"},
      {"\"\\u00\"", "truncated \\u escape"},
      {"\"\\u00", "truncated \\u escape"},
      {"\"\\x\"", "bad JSON escape"},
      {"\"\\'\"", "bad JSON escape"},
      {"-", "bad JSON number"},
      {"-e5", "bad JSON number"},
      {"-.", "bad JSON number"},
      {"[-]", "bad JSON number"},
      {"null x", "trailing content after JSON value"},
      {"nullx", "trailing content after JSON value"},
      {"{} {}", "trailing content after JSON value"},
      {"1 2", "trailing content after JSON value"},
      {"\"a\"\"b\"", "trailing content after JSON value"},
      {Nested(514, '[', ']'), "JSON nested too deeply"},
      {std::string(514, '['), "JSON nested too deeply"},
      {NestedObjects(514), "JSON nested too deeply"},
      {std::string(100000, '['), "JSON nested too deeply"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseFailure(c.text), c.error) << "text: " << c.text.substr(0, 40);
  }
}

TEST(JsonParseTest, AcceptsNestingUpTo513Containers) {
  for (const int depth : {1, 512, 513}) {
    const JsonValue arrays = Parse(Nested(depth, '[', ']'));
    EXPECT_EQ(Serialize(arrays), Nested(depth, '[', ']')) << depth;
    const JsonValue objects = Parse(NestedObjects(depth));
    EXPECT_EQ(Serialize(objects), NestedObjects(depth)) << depth;
  }
  // A scalar at depth 512 is fine; one more level refuses it before reading it.
  EXPECT_NO_THROW(Parse(std::string(512, '[') + "1" + std::string(512, ']')));
  EXPECT_EQ(ParseFailure(std::string(513, '[') + "1" + std::string(513, ']')),
            "JSON nested too deeply");
  EXPECT_EQ(ParseFailure(std::string(513, '[') + "x"), "JSON nested too deeply");
}

// Every container and every scalar counts one value, wherever it stands.
TEST(JsonParseTest, CountsEveryValueAgainstTheLimit) {
  struct Case {
    std::string text;
    std::size_t values;
  };
  const std::vector<Case> cases = {
      {"0", 1},
      {"[]", 1},
      {"{}", 1},
      {"[0,0,0]", 4},
      {"[[],{}]", 3},
      {R"({"a":1,"b":[true,null]})", 5},
      {R"({"a":1,"a":2})", 3},  // a repeated key still cost a value to read
      {Nested(513, '[', ']'), 513},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseFailure(c.text, c.values), "(parsed)") << c.text.substr(0, 40);
    EXPECT_EQ(ParseFailure(c.text, c.values - 1), "JSON holds too many values")
        << c.text.substr(0, 40);
  }
  // Counting stops the parse where the limit is crossed, before the rest of
  // the text is even looked at.
  EXPECT_EQ(ParseFailure("[0,0,0,x", 3), "JSON holds too many values");
  EXPECT_EQ(ParseFailure("[0,x", 3), "unexpected character in JSON");
}

TEST(JsonParseTest, WritesParsedTextBackCompactly) {
  struct Case {
    const char* text;
    const char* written;
  };
  const Case cases[] = {
      {"[ ]", "[]"},
      {"{ }", "{}"},
      {" \r\n\ttrue ", "true"},
      {"false", "false"},
      {"null", "null"},
      {"[true ]", "[true]"},
      {"{\"a\":1,\"b\":2,\"a\":3}", "{\"a\":3,\"b\":2}"},
      {"{ \"k\" : [ 1 , { \"x\" : null } ] }", "{\"k\":[1,{\"x\":null}]}"},
      {"-0", "0"},
      {"1e400", "0"},
      {"-1e400", "0"},
      {"1e-400", "0"},
      {"1.2.3", "1.2"},
      {"12e", "12"},
      {"1e+", "1"},
      {"1.", "1"},
      {"-.5", "-0.5"},
      {"007", "7"},
      {"5-3", "5"},
      {"[1e2,2E-1]", "[100,0.2]"},
      {"9007199254740993", "9007199254740992"},
      {"0.1", "0.1"},
      {"\"a/b\\/c\"", "\"a/b/c\""},
      {"\"\\b\\f\\n\\r\\t\\\"\\\\\"", "\"\\b\\f\\n\\r\\t\\\"\\\\\""},
      {"\"\\u0001\\u001F\\u007f\"", "\"\\u0001\\u001f\x7f\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Serialize(Parse(c.text)), c.written) << "text: " << c.text;
  }
}

TEST(JsonParseTest, KeepsNumberEdgeValues) {
  EXPECT_TRUE(std::signbit(Parse("-0").number()));
  EXPECT_EQ(Parse("1e400").number(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Parse("-1e400").number(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(Parse("0.0000000001e-99999999999999999999").number(), 0.0);
  EXPECT_EQ(Parse("100000000000000000000000e99999999999999999999").number(),
            std::numeric_limits<double>::infinity());
  EXPECT_EQ(Parse("4e-320").number(), 4e-320);  // subnormal, not an underflow
  EXPECT_TRUE(std::signbit(Parse("-1e-400").number()));
}

TEST(JsonParseTest, DecodesUnicodeEscapesToUtf8Bytes) {
  struct Case {
    const char* text;
    std::string bytes;
  };
  const Case cases[] = {
      {"\"\\u0041\"", "A"},
      {"\"\\u00e9\"", "\xC3\xA9"},
      {"\"\\u00E9\"", "\xC3\xA9"},
      {"\"\\u07ff\"", "\xDF\xBF"},
      {"\"\\u0800\"", "\xE0\xA0\x80"},
      {"\"\\u20ac\"", "\xE2\x82\xAC"},
      // A surrogate pair is not combined: two three-byte sequences.
      {"\"\\ud83d\\ude00\"", "\xED\xA0\xBD\xED\xB8\x80"},
      {"\"\\u0000\"", std::string(1, '\0')},
      // Read as strtoul reads the four bytes: a non-hex byte ends the number.
      {"\"\\u4zzz\"", "\x04"},
      {"\"\\uzzzz\"", std::string(1, '\0')},
      {"\"\\u 41x\"", "A"},
      {"\"\\u0x41\"", "A"},
      {"\"\\u+041\"", "A"},
      // Raw bytes, control and invalid UTF-8 ones included, pass unchanged.
      {"\"\x01\xFF\xC3\"", "\x01\xFF\xC3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.text).text(), c.bytes) << "text: " << c.text;
  }
}

TEST(JsonWriteTest, WritesNumbersInTheFixedFormat) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {-0.0, "0"},
      {-3, "-3"},
      {0.1, "0.1"},
      {0.5, "0.5"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {123.456, "123.456"},
      {16.67, "16.67"},
      {59.94, "59.94"},
      {60.0, "60"},
      {1e15, "1000000000000000"},
      {999999999999999, "999999999999999"},
      {-999999999999999, "-999999999999999"},
      {1e21, "1e+21"},
      {1e20, "100000000000000000000"},
      {123456789012345680000.0, "123456789012345680000"},
      {1.5e300, "1.5e+300"},
      {-0.000001, "-0.000001"},
      {0.000001, "0.000001"},
      {1.25e-6, "0.00000125"},
      {-1.5e-7, "-1.5e-7"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {9007199254740992.0, "9007199254740992"},
      {12000000, "12000000"},
      {1.0 / 3.0, "0.3333333333333333"},
      {std::numeric_limits<double>::quiet_NaN(), "0"},
      {std::numeric_limits<double>::infinity(), "0"},
      {-std::numeric_limits<double>::infinity(), "0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Serialize(JsonValue(c.value)), c.text) << "value: " << c.value;
  }
}

TEST(JsonWriteTest, EscapesStringBytes) {
  struct Case {
    std::string bytes;
    const char* text;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"/", "\"/\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {"\x01", "\"\\u0001\""},
      {"\x1F", "\"\\u001f\""},
      {std::string(1, '\0'), "\"\\u0000\""},
      {"\x7F", "\"\x7F\""},
      {"\xC3\xA9\xFF", "\"\xC3\xA9\xFF\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Serialize(JsonValue(c.bytes)), c.text);
    EXPECT_EQ(Parse(c.text).text(), c.bytes);
  }
}

TEST(JsonValueTest, SetKeepsFirstPositionAndReplacesValue) {
  JsonValue object;
  object.Set("a", 1);
  object.Set("b", 2);
  object.Set("a", 3);
  EXPECT_EQ(Serialize(object), "{\"a\":3,\"b\":2}");
  ASSERT_NE(object.Find("a"), nullptr);
  EXPECT_EQ(object.Find("a")->number(), 3);
  EXPECT_EQ(object.Find("A"), nullptr);
  EXPECT_EQ(object.Find(std::string_view("a\0", 2)), nullptr);

  // A non-object turns into an empty object; a non-array into an empty array.
  JsonValue turned(5);
  turned.Set("x", true);
  EXPECT_EQ(Serialize(turned), "{\"x\":true}");
  turned.Append("s");
  turned.Append(JsonValue());
  EXPECT_EQ(Serialize(turned), "[\"s\",null]");
  EXPECT_EQ(turned.Find("x"), nullptr);
}

TEST(JsonValueTest, ParsedRepeatedKeysInLargeObjectsKeepTheirFirstPosition) {
  std::string text = "{";
  for (int i = 0; i < 100; ++i) {
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  }
  text += "\"k5\":\"five\",\"k99\":null,\"new\":1}";
  const JsonValue object = Parse(text);
  ASSERT_EQ(object.members().size(), 101u);
  EXPECT_EQ(object.members()[5].first, "k5");
  EXPECT_EQ(object.members()[5].second.text(), "five");
  EXPECT_TRUE(object.members()[99].second.IsNull());
  EXPECT_EQ(object.members()[100].first, "new");
}

TEST(JsonValueTest, CopiesAreIndependentTrees) {
  JsonValue original = Parse("{\"list\":[1,{\"deep\":\"x\"}]}");
  JsonValue copy = original;
  copy.Find("list")->Append(3);
  copy.Set("extra", false);
  EXPECT_EQ(Serialize(original), "{\"list\":[1,{\"deep\":\"x\"}]}");
  EXPECT_EQ(Serialize(copy), "{\"list\":[1,{\"deep\":\"x\"},3],\"extra\":false}");
  EXPECT_FALSE(original == copy);
  JsonValue moved = std::move(copy);
  EXPECT_EQ(moved.Find("extra")->kind(), JsonKind::Bool);
}

TEST(JsonValueTest, TypedReadsNeverConvertBetweenKinds) {
  const JsonValue object =
      Parse(R"({"s":"5","n":5,"t":true,"one":1,"f":3.9,"neg":-3.9,"big":3e10,"huge":1e19,)"
            R"("inf":1e999,"ninf":-1e999,"null":null,"min":-2147483648,"max":2147483647,)"
            R"("below":-2147483648.9,"above":2147483647.9,"i64":-9223372036854775808})");
  EXPECT_EQ(object.ReadString("s", "d"), "5");
  EXPECT_EQ(object.ReadString("n", "d"), "d");
  EXPECT_EQ(object.ReadString("null", "d"), "d");
  EXPECT_EQ(object.ReadString("missing", "d"), "d");
  EXPECT_EQ(object.ReadInt32("s", 7), 7);
  EXPECT_EQ(object.ReadInt32("n", 7), 5);
  EXPECT_EQ(object.ReadInt32("t", 7), 7);
  EXPECT_EQ(object.ReadBool("one", false), false);
  EXPECT_EQ(object.ReadBool("t", false), true);
  EXPECT_EQ(object.ReadBool("s", true), true);
  EXPECT_EQ(object.ReadDouble("f", 0), 3.9);
  EXPECT_EQ(object.ReadDouble("s", 1.5), 1.5);
  EXPECT_EQ(object.ReadInt32("f", 0), 3);
  EXPECT_EQ(object.ReadInt32("neg", 0), -3);
  EXPECT_EQ(object.ReadInt32("big", 0), -2147483647 - 1);
  EXPECT_EQ(object.ReadInt32("inf", 0), -2147483647 - 1);
  EXPECT_EQ(object.ReadInt32("min", 0), -2147483647 - 1);
  EXPECT_EQ(object.ReadInt32("max", 0), 2147483647);
  EXPECT_EQ(object.ReadInt32("below", 0), -2147483647 - 1);
  EXPECT_EQ(object.ReadInt32("above", 0), 2147483647);
  EXPECT_EQ(object.ReadInt64("big", 0), 30000000000);
  EXPECT_EQ(object.ReadInt64("huge", 0), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(object.ReadInt64("ninf", 0), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(object.ReadInt64("i64", 0), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(object.ReadInt64("neg", 0), -3);
  EXPECT_EQ(JsonNumberToInt32(std::numeric_limits<double>::quiet_NaN()), -2147483647 - 1);
  EXPECT_EQ(JsonNumberToInt64(std::numeric_limits<double>::quiet_NaN()),
            std::numeric_limits<std::int64_t>::min());
  // A read of a non-object gives every default.
  const JsonValue array = Parse("[1]");
  EXPECT_EQ(array.ReadInt32("0", 9), 9);
  EXPECT_EQ(JsonValue("x").ReadString("x", "d"), "d");
}

TEST(JsonValueTest, ConstructsEveryKind) {
  EXPECT_EQ(Serialize(JsonValue()), "null");
  EXPECT_EQ(Serialize(JsonValue("text")), "\"text\"");  // not a bool
  EXPECT_EQ(Serialize(JsonValue(std::string("s"))), "\"s\"");
  EXPECT_EQ(Serialize(JsonValue(false)), "false");
  EXPECT_EQ(Serialize(JsonValue(std::int64_t{-12000000000})), "-12000000000");
  EXPECT_EQ(Serialize(JsonValue(std::uint32_t{4000000000u})), "4000000000");
  EXPECT_EQ(Serialize(JsonValue::MakeArray()), "[]");
  EXPECT_EQ(Serialize(JsonValue::MakeObject()), "{}");
  EXPECT_EQ(JsonValue(2.5).kind(), JsonKind::Number);
  EXPECT_EQ(JsonValue(2).text(), "");
  EXPECT_TRUE(JsonValue("x").items().empty());
}

// Parsing and writing must not follow the process locale (a comma as the
// decimal point would break every number).
TEST(JsonParseTest, IgnoresTheProcessLocale) {
  const char* const names[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252",
                               "de-DE"};
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  const char* chosen = nullptr;
  for (const char* name : names) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) {
    GTEST_SKIP() << "no locale with a decimal comma on this machine";
  }
  const double value = Parse("1.5").number();
  const std::string text = Serialize(JsonValue(0.25));
  const std::string big = Serialize(JsonValue(1.5e300));
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_EQ(value, 1.5) << chosen;
  EXPECT_EQ(text, "0.25") << chosen;
  EXPECT_EQ(big, "1.5e+300") << chosen;
}

}  // namespace
}  // namespace veyra
