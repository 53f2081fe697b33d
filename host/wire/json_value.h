#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace veyra {

enum class JsonKind : int {
  Null = 0,
  Bool = 1,
  Number = 2,
  String = 3,
  Array = 4,
  Object = 5,
};

// One JSON value with value semantics: copying copies the whole tree, moving
// moves it. Numbers are doubles (integers up to 2^53 are exact). Strings are
// raw bytes, UTF-8 by convention and never checked. Object members keep the
// order of their first insertion and their keys are unique; the writer emits
// them in that order, which the control messages and the pairing file rely
// on for their key order.
//
// Plain data: no internal locking, one thread at a time.
class JsonValue {
 public:
  using Member = std::pair<std::string, JsonValue>;
  using Items = std::vector<JsonValue>;
  using Members = std::vector<Member>;

  JsonValue() = default;  // null
  JsonValue(bool value) : data_(value) {}
  JsonValue(double value) : data_(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool>) JsonValue(T value) : data_(static_cast<double>(value)) {}
  JsonValue(std::string value) : data_(std::move(value)) {}
  JsonValue(std::string_view value) : data_(std::string(value)) {}
  // Without this a string literal would pick the bool constructor.
  JsonValue(const char* value) : data_(std::string(value)) {}

  static JsonValue MakeArray() { return JsonValue(Items{}); }
  static JsonValue MakeObject() { return JsonValue(Members{}); }

  JsonKind kind() const { return static_cast<JsonKind>(data_.index()); }
  bool IsNull() const { return kind() == JsonKind::Null; }
  bool IsObject() const { return kind() == JsonKind::Object; }
  bool IsArray() const { return kind() == JsonKind::Array; }

  // The payload of each kind; a value of another kind gives false, 0, an
  // empty string or an empty list.
  bool boolValue() const;
  double number() const;
  const std::string& text() const;
  const Items& items() const;
  const Members& members() const;

  // Sets |key| to |value|. A non-object becomes an empty object first. An
  // existing key keeps its position and takes the new value; a new key goes
  // to the end. Returns the stored value.
  JsonValue& Set(std::string_view key, JsonValue value);
  // Appends |value|. A non-array becomes an empty array first.
  JsonValue& Append(JsonValue value);
  // The first member named |key| (exact bytes), or null when this is not an
  // object or has no such member.
  const JsonValue* Find(std::string_view key) const;
  JsonValue* Find(std::string_view key);

  // Typed reads of a member with a default: the default comes back when this
  // is not an object, the key is missing or the member is of another kind.
  // No read converts between kinds ("5" is not 5, 1 is not true).
  std::string ReadString(std::string_view key, std::string_view fallback) const;
  bool ReadBool(std::string_view key, bool fallback) const;
  double ReadDouble(std::string_view key, double fallback) const;
  // Truncated toward zero; out of range or NaN gives the type's minimum.
  std::int32_t ReadInt32(std::string_view key, std::int32_t fallback) const;
  std::int64_t ReadInt64(std::string_view key, std::int64_t fallback) const;

  // Deep equality: same kind, numbers equal as doubles (so 0 equals -0),
  // same bytes, same elements, same members in the same order.
  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  // The alternatives are in JsonKind order so that index() is the kind.
  using Data = std::variant<std::monostate, bool, double, std::string, Items, Members>;

  // The parser builds containers directly: it has checked the keys.
  friend class JsonParser;

  explicit JsonValue(Items items) : data_(std::move(items)) {}
  explicit JsonValue(Members members) : data_(std::move(members)) {}

  Data data_;
};

// Number truncated toward zero into 32 or 64 bits; NaN and values out of
// range give the type's minimum.
std::int32_t JsonNumberToInt32(double value);
std::int64_t JsonNumberToInt64(double value);

// The compact text of |value|: no spaces or line breaks, members in order,
// numbers in the fixed format (integral values below 1e15 without a
// fraction, otherwise the shortest text that reads back exactly, with an
// exponent outside 1e-7 to 1e21; NaN and infinities as 0).
std::string Serialize(const JsonValue& value);
// Appends the text of one number in that format.
void AppendJsonNumber(std::string& out, double value);

// No limit on the values of one text beyond what its length allows.
inline constexpr std::size_t kJsonUnlimitedValues = static_cast<std::size_t>(-1);

// Parses one JSON value, of any kind, from bytes. Nesting deeper than 512
// below the top level is refused before it can exhaust the stack; a text of
// more than |maxValues| values (each container and each scalar counts one)
// is refused before it can exhaust memory. Raises ProtocolError with a
// fixed text on malformed input.
JsonValue Parse(std::string_view text, std::size_t maxValues = kJsonUnlimitedValues);
JsonValue Parse(const std::uint8_t* data, std::size_t size,
                std::size_t maxValues = kJsonUnlimitedValues);

// Deepest nesting that Parse accepts; the top-level value has depth 0.
inline constexpr int kJsonMaxDepth = 512;

}  // namespace veyra
