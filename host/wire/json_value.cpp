#include "host/wire/json_value.h"

#include <cmath>
#include <limits>

namespace veyra {
namespace {

const std::string& EmptyText() {
  static const std::string kEmpty;
  return kEmpty;
}

}  // namespace

bool JsonValue::boolValue() const {
  const bool* value = std::get_if<bool>(&data_);
  return value != nullptr && *value;
}

double JsonValue::number() const {
  const double* value = std::get_if<double>(&data_);
  return value != nullptr ? *value : 0.0;
}

const std::string& JsonValue::text() const {
  const std::string* value = std::get_if<std::string>(&data_);
  return value != nullptr ? *value : EmptyText();
}

const JsonValue::Items& JsonValue::items() const {
  static const Items kEmpty;
  const Items* value = std::get_if<Items>(&data_);
  return value != nullptr ? *value : kEmpty;
}

const JsonValue::Members& JsonValue::members() const {
  static const Members kEmpty;
  const Members* value = std::get_if<Members>(&data_);
  return value != nullptr ? *value : kEmpty;
}

JsonValue& JsonValue::Set(std::string_view key, JsonValue value) {
  if (!IsObject()) {
    data_ = Members{};
  }
  Members& members = std::get<Members>(data_);
  for (Member& member : members) {
    if (member.first == key) {
      member.second = std::move(value);
      return member.second;
    }
  }
  members.emplace_back(std::string(key), std::move(value));
  return members.back().second;
}

JsonValue& JsonValue::Append(JsonValue value) {
  if (!IsArray()) {
    data_ = Items{};
  }
  Items& items = std::get<Items>(data_);
  items.push_back(std::move(value));
  return items.back();
}

const JsonValue* JsonValue::Find(std::string_view key) const {
  const Members* members = std::get_if<Members>(&data_);
  if (members == nullptr) {
    return nullptr;
  }
  for (const Member& member : *members) {
    if (member.first == key) {
      return &member.second;
    }
  }
  return nullptr;
}

JsonValue* JsonValue::Find(std::string_view key) {
  return const_cast<JsonValue*>(std::as_const(*this).Find(key));
}

std::string JsonValue::ReadString(std::string_view key, std::string_view fallback) const {
  const JsonValue* member = Find(key);
  if (member == nullptr || member->kind() != JsonKind::String) {
    return std::string(fallback);
  }
  return member->text();
}

bool JsonValue::ReadBool(std::string_view key, bool fallback) const {
  const JsonValue* member = Find(key);
  if (member == nullptr || member->kind() != JsonKind::Bool) {
    return fallback;
  }
  return member->boolValue();
}

double JsonValue::ReadDouble(std::string_view key, double fallback) const {
  const JsonValue* member = Find(key);
  if (member == nullptr || member->kind() != JsonKind::Number) {
    return fallback;
  }
  return member->number();
}

std::int32_t JsonValue::ReadInt32(std::string_view key, std::int32_t fallback) const {
  const JsonValue* member = Find(key);
  if (member == nullptr || member->kind() != JsonKind::Number) {
    return fallback;
  }
  return JsonNumberToInt32(member->number());
}

std::int64_t JsonValue::ReadInt64(std::string_view key, std::int64_t fallback) const {
  const JsonValue* member = Find(key);
  if (member == nullptr || member->kind() != JsonKind::Number) {
    return fallback;
  }
  return JsonNumberToInt64(member->number());
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  // std::variant's own comparison would do, but spelled out it is clear that
  // numbers compare as doubles and members in order.
  if (a.kind() != b.kind()) {
    return false;
  }
  switch (a.kind()) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:
      return a.boolValue() == b.boolValue();
    case JsonKind::Number:
      return a.number() == b.number();
    case JsonKind::String:
      return a.text() == b.text();
    case JsonKind::Array:
      return a.items() == b.items();
    case JsonKind::Object:
      return a.members() == b.members();
  }
  return false;
}

std::int32_t JsonNumberToInt32(double value) {
  // Compared before the cast: converting an out-of-range double is undefined.
  // Truncation maps (-2147483649, 2147483648) exactly onto the 32-bit range.
  if (!(value > -2147483649.0 && value < 2147483648.0)) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

std::int64_t JsonNumberToInt64(double value) {
  // -2^63 and 2^63 are exact doubles; no double lies strictly between -2^63
  // and -2^63 - 1, so the lower bound is inclusive.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value >= -kTwoTo63 && value < kTwoTo63)) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace veyra
