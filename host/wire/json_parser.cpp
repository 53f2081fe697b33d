#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/wire/json_value.h"
#include "host/wire/protocol_error.h"

namespace veyra {
namespace {

constexpr char kNestedTooDeeply[] = "JSON nested too deeply";
constexpr char kUnexpectedEnd[] = "unexpected end of JSON";
constexpr char kUnexpectedCharacter[] = "unexpected character in JSON";
constexpr char kBadLiteral[] = "bad JSON literal";
constexpr char kExpectedObjectSeparator[] = "expected , or } in JSON object";
constexpr char kExpectedArraySeparator[] = "expected , or ] in JSON array";
constexpr char kTruncatedEscape[] = "truncated \\u escape";
constexpr char kBadEscape[] = "bad JSON escape";
constexpr char kBadNumber[] = "bad JSON number";
constexpr char kTrailingContent[] = "trailing content after JSON value";
constexpr char kTooManyValues[] = "JSON holds too many values";

// Objects up to this many members find repeated keys by a linear scan;
// larger ones get a hash index, so that a hostile payload of many thousand
// members cannot make parsing quadratic.
constexpr std::size_t kKeyIndexThreshold = 32;

bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsNumberByte(char c) {
  return IsDigit(c) || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E';
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// The four bytes of a \u escape read the way strtoul(text, nullptr, 16)
// reads them as a string of their own: leading white space, a sign and a
// "0x" are taken, the first other byte ends the number, no digits give 0. A
// negative number wraps as the Windows 32-bit unsigned long does.
std::uint32_t ReadEscapeCodePoint(std::string_view four) {
  std::size_t i = 0;
  while (i < four.size() && (four[i] == ' ' || (four[i] >= '\t' && four[i] <= '\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < four.size() && (four[i] == '+' || four[i] == '-')) {
    negative = four[i] == '-';
    ++i;
  }
  if (i + 2 < four.size() && four[i] == '0' && (four[i + 1] == 'x' || four[i + 1] == 'X') &&
      HexDigitValue(four[i + 2]) >= 0) {
    i += 2;
  }
  std::uint32_t value = 0;
  for (; i < four.size() && HexDigitValue(four[i]) >= 0; ++i) {
    value = value * 16 + static_cast<std::uint32_t>(HexDigitValue(four[i]));
  }
  return negative ? 0u - value : value;
}

// One, two or three bytes; code points above 0xFFFF (only a negative escape
// gives one) keep their low 16 bits.
void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c <= 0x7F) {
    out += static_cast<char>(c);
  } else if (c <= 0x7FF) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | ((c >> 12) & 0x0F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// from_chars leaves the value alone when it is out of range, where strtod
// gives an infinity for an overflow and zero for an underflow. The decimal
// exponent of the first significant digit tells which one it was.
double OutOfRangeValue(const char* begin, const char* end) {
  const bool negative = begin != end && *begin == '-';
  const char* p = negative ? begin + 1 : begin;
  std::int64_t integerDigits = 0;
  std::int64_t fractionDigits = 0;
  std::int64_t firstInteger = -1;   // index of the first significant integer digit
  std::int64_t firstFraction = -1;  // index of the first significant fraction digit
  bool seenPoint = false;
  for (; p != end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      seenPoint = true;
    } else if (!seenPoint) {
      if (firstInteger < 0 && *p != '0') {
        firstInteger = integerDigits;
      }
      ++integerDigits;
    } else {
      if (firstInteger < 0 && firstFraction < 0 && *p != '0') {
        firstFraction = fractionDigits;
      }
      ++fractionDigits;
    }
  }
  std::int64_t exponent = 0;
  if (p != end) {
    ++p;
    bool negativeExponent = false;
    if (p != end && (*p == '+' || *p == '-')) {
      negativeExponent = *p == '-';
      ++p;
    }
    for (; p != end && IsDigit(*p); ++p) {
      exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), 1'000'000'000);
    }
    if (negativeExponent) {
      exponent = -exponent;
    }
  }
  std::int64_t magnitude = 0;
  if (firstInteger >= 0) {
    magnitude = integerDigits - 1 - firstInteger;
  } else if (firstFraction >= 0) {
    magnitude = -(firstFraction + 1);
  } else {
    return negative ? -0.0 : 0.0;
  }
  if (magnitude + exponent >= 0) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  return negative ? -0.0 : 0.0;
}

}  // namespace

// Iterative, with the open containers on a heap-allocated stack, so that the
// depth limit and never the thread's stack bounds the nesting.
class JsonParser {
 public:
  JsonParser(std::string_view text, std::size_t maxValues) : text_(text), maxValues_(maxValues) {}

  JsonValue Run();

 private:
  struct OpenContainer {
    bool isObject = false;
    JsonValue::Items items;
    JsonValue::Members members;
    std::string key;  // of the member whose value comes next
    std::unordered_map<std::string, std::size_t> keyIndex;
  };

  bool AtEnd() const { return pos_ >= text_.size(); }
  void SkipWhiteSpace();
  JsonValue ReadScalar();
  std::string ReadString();
  double ReadNumber();
  JsonValue ReadLiteral(std::string_view literal, JsonValue value);
  void ReadMemberName(OpenContainer& object);
  static void AddMember(OpenContainer& object, JsonValue value);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t maxValues_;
  std::size_t values_ = 0;  // begun so far, containers and scalars alike
};

JsonValue JsonParser::Run() {
  std::vector<OpenContainer> open;
  JsonValue result;
  bool finished = false;
  while (!finished) {
    // A value at depth open.size().
    if (open.size() > static_cast<std::size_t>(kJsonMaxDepth)) {
      throw ProtocolError(kNestedTooDeeply);
    }
    // Each pass begins one value. A value costs some 40 bytes in the tree
    // for the 2 bytes "0," of its text, so the count, not the text's
    // length, bounds the memory a hostile text can make us take.
    if (++values_ > maxValues_) {
      throw ProtocolError(kTooManyValues);
    }
    SkipWhiteSpace();
    if (AtEnd()) {
      throw ProtocolError(kUnexpectedEnd);
    }
    JsonValue value;
    const char c = text_[pos_];
    if (c == '[' || c == '{') {
      ++pos_;
      SkipWhiteSpace();
      if (!AtEnd() && text_[pos_] == (c == '[' ? ']' : '}')) {
        ++pos_;
        value = c == '[' ? JsonValue::MakeArray() : JsonValue::MakeObject();
      } else {
        open.emplace_back();
        open.back().isObject = c == '{';
        if (c == '{') {
          ReadMemberName(open.back());
        }
        continue;
      }
    } else {
      value = ReadScalar();
    }
    // Hand the finished value up, closing every container that ends here.
    for (;;) {
      if (open.empty()) {
        result = std::move(value);
        finished = true;
        break;
      }
      OpenContainer& top = open.back();
      if (top.isObject) {
        AddMember(top, std::move(value));
      } else {
        top.items.push_back(std::move(value));
      }
      SkipWhiteSpace();
      if (AtEnd()) {
        throw ProtocolError(kUnexpectedEnd);
      }
      const char next = text_[pos_++];
      if (next == ',') {
        if (top.isObject) {
          ReadMemberName(top);
        }
        break;
      }
      if (next != (top.isObject ? '}' : ']')) {
        throw ProtocolError(top.isObject ? kExpectedObjectSeparator : kExpectedArraySeparator);
      }
      value = top.isObject ? JsonValue(std::move(top.members)) : JsonValue(std::move(top.items));
      open.pop_back();
    }
  }
  SkipWhiteSpace();
  if (!AtEnd()) {
    throw ProtocolError(kTrailingContent);
  }
  return result;
}

void JsonParser::SkipWhiteSpace() {
  while (!AtEnd() && IsWhiteSpace(text_[pos_])) {
    ++pos_;
  }
}

JsonValue JsonParser::ReadScalar() {
  const char c = text_[pos_];
  if (c == '"') {
    return JsonValue(ReadString());
  }
  if (c == '-' || IsDigit(c)) {
    return JsonValue(ReadNumber());
  }
  if (c == 't') {
    return ReadLiteral("true", JsonValue(true));
  }
  if (c == 'f') {
    return ReadLiteral("false", JsonValue(false));
  }
  if (c == 'n') {
    return ReadLiteral("null", JsonValue());
  }
  throw ProtocolError(kUnexpectedCharacter);
}

JsonValue JsonParser::ReadLiteral(std::string_view literal, JsonValue value) {
  // What follows the literal is the caller's business ("nullx" fails later,
  // as trailing content).
  if (text_.substr(pos_, literal.size()) != literal) {
    throw ProtocolError(kBadLiteral);
  }
  pos_ += literal.size();
  return value;
}

std::string JsonParser::ReadString() {
  ++pos_;  // the opening quote
  std::string out;
  for (;;) {
    // Copy the run of plain bytes up to the next quote or backslash at once.
    const std::size_t stop = text_.find_first_of("\"\\", pos_);
    if (stop == std::string_view::npos) {
      throw ProtocolError(kUnexpectedEnd);
    }
    out.append(text_.data() + pos_, stop - pos_);
    pos_ = stop + 1;
    if (text_[stop] == '"') {
      return out;
    }
    if (AtEnd()) {
      throw ProtocolError(kUnexpectedEnd);
    }
    const char escape = text_[pos_++];
    switch (escape) {
      case '"':
        out += '"';
        break;
      case '/':
        out += '/';
        break;
      case '\\':
        out += '\\';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        if (text_.size() - pos_ < 4) {
          throw ProtocolError(kTruncatedEscape);
        }
        // Each half of a surrogate pair becomes its own three bytes.
        AppendUtf8(out, ReadEscapeCodePoint(text_.substr(pos_, 4)));
        pos_ += 4;
        break;
      default:
        throw ProtocolError(kBadEscape);
    }
  }
}

double JsonParser::ReadNumber() {
  const std::size_t start = pos_;
  if (text_[pos_] == '-') {
    ++pos_;
  }
  while (!AtEnd() && IsNumberByte(text_[pos_])) {
    ++pos_;
  }
  // strtod's grammar without its dependence on the process locale: the
  // longest prefix of the token that is a number counts and the rest of the
  // token is dropped ("1.2.3" is 1.2, "12e" is 12).
  const char* begin = text_.data() + start;
  const char* end = text_.data() + pos_;
  double value = 0;
  const auto result = std::from_chars(begin, end, value, std::chars_format::general);
  if (result.ec == std::errc::invalid_argument || result.ptr == begin) {
    throw ProtocolError(kBadNumber);
  }
  if (result.ec == std::errc::result_out_of_range) {
    value = OutOfRangeValue(begin, result.ptr);
  }
  return value;
}

void JsonParser::ReadMemberName(OpenContainer& object) {
  SkipWhiteSpace();
  if (AtEnd()) {
    throw ProtocolError(kUnexpectedEnd);
  }
  if (text_[pos_] != '"') {
    throw ProtocolError(kUnexpectedCharacter);
  }
  object.key = ReadString();
  SkipWhiteSpace();
  if (AtEnd()) {
    throw ProtocolError(kUnexpectedEnd);
  }
  if (text_[pos_] != ':') {
    throw ProtocolError(kUnexpectedCharacter);
  }
  ++pos_;
}

void JsonParser::AddMember(OpenContainer& object, JsonValue value) {
  // A repeated key keeps its first position and takes the last value.
  JsonValue::Members& members = object.members;
  if (object.keyIndex.empty()) {
    for (JsonValue::Member& member : members) {
      if (member.first == object.key) {
        member.second = std::move(value);
        return;
      }
    }
    members.emplace_back(std::move(object.key), std::move(value));
    if (members.size() == kKeyIndexThreshold) {
      for (std::size_t i = 0; i < members.size(); ++i) {
        object.keyIndex.emplace(members[i].first, i);
      }
    }
    return;
  }
  const auto [it, inserted] = object.keyIndex.try_emplace(object.key, members.size());
  if (inserted) {
    members.emplace_back(std::move(object.key), std::move(value));
  } else {
    members[it->second].second = std::move(value);
  }
}

JsonValue Parse(std::string_view text, std::size_t maxValues) {
  return JsonParser(text, maxValues).Run();
}

JsonValue Parse(const std::uint8_t* data, std::size_t size, std::size_t maxValues) {
  if (size == 0) {
    return Parse(std::string_view(), maxValues);
  }
  return Parse(std::string_view(reinterpret_cast<const char*>(data), size), maxValues);
}

}  // namespace veyra
