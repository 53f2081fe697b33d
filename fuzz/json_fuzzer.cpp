// Parses arbitrary bytes as JSON, writes what parsed, and parses that text
// again: the second parse must succeed, give the same value (numbers as the
// writer puts them: non-finite ones become 0) and write the same text.
//
// The value limit is fuzzed too: the first byte picks a limit of 0 to 63
// values for a second parse of the same bytes, which must succeed exactly
// when the text parses and holds no more values than that, and otherwise
// fail; with too many values, as "JSON holds too many values" whenever the
// limit is crossed before a syntax error.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/wire/control_messages.h"
#include "host/wire/json_value.h"
#include "host/wire/protocol_error.h"

namespace {

using veyra::JsonKind;
using veyra::JsonValue;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// |second| is what |first| reads back as after Serialize.
bool SameAfterWriting(const JsonValue& first, const JsonValue& second) {
  if (first.kind() != second.kind()) {
    return false;
  }
  switch (first.kind()) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:
      return first.boolValue() == second.boolValue();
    case JsonKind::Number:
      return std::isfinite(first.number()) ? first.number() == second.number()
                                           : second.number() == 0;
    case JsonKind::String:
      return first.text() == second.text();
    case JsonKind::Array:
      if (first.items().size() != second.items().size()) {
        return false;
      }
      for (std::size_t i = 0; i < first.items().size(); ++i) {
        if (!SameAfterWriting(first.items()[i], second.items()[i])) {
          return false;
        }
      }
      return true;
    case JsonKind::Object:
      if (first.members().size() != second.members().size()) {
        return false;
      }
      for (std::size_t i = 0; i < first.members().size(); ++i) {
        if (first.members()[i].first != second.members()[i].first ||
            !SameAfterWriting(first.members()[i].second, second.members()[i].second)) {
          return false;
        }
      }
      return true;
  }
  return false;
}

std::size_t CountValues(const JsonValue& value) {
  std::size_t count = 1;
  for (const JsonValue& item : value.items()) {
    count += CountValues(item);
  }
  for (const auto& member : value.members()) {
    count += CountValues(member.second);
  }
  return count;
}

// A repeated key's earlier values count as read although the tree drops
// them, so the tree's count is only a lower bound of what the limit saw.
void CheckLimit(const std::uint8_t* data, std::size_t size, const JsonValue* parsed) {
  if (size == 0) {
    return;
  }
  const std::size_t limit = data[0] % 64;
  try {
    const JsonValue limited = veyra::Parse(data, size, limit);
    Check(parsed != nullptr && limited == *parsed);
    Check(CountValues(limited) <= limit);
  } catch (const veyra::ProtocolError& error) {
    // Only the limit can refuse a text that parses.
    Check(parsed == nullptr || std::string(error.what()) == "JSON holds too many values");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JsonValue first;
  try {
    first = veyra::Parse(data, size);
  } catch (const veyra::ProtocolError&) {
    CheckLimit(data, size, nullptr);
    return 0;
  }
  CheckLimit(data, size, &first);
  // Every value takes at least one byte of text, so the control payload
  // limit cannot refuse a text shorter than it.
  try {
    Check(veyra::ParseControlPayload(data, size) == first);
  } catch (const veyra::ProtocolError& error) {
    Check(size > veyra::kControlMessageMaxJsonValues &&
          std::string(error.what()) == "JSON holds too many values");
  }
  const std::string text = veyra::Serialize(first);
  JsonValue second;
  try {
    second = veyra::Parse(text);
  } catch (const veyra::ProtocolError&) {
    std::abort();  // the writer produced text its own parser refuses
  }
  Check(SameAfterWriting(first, second));
  Check(veyra::Serialize(second) == text);
  Check(veyra::Parse(text) == second);

  // The control-message readers take any value without failing.
  veyra::ParseDeviceInfo(first);
  veyra::ParseHello(first);
  veyra::ParseVisibility(first);
  veyra::ParseDisplayChange(first);
  veyra::ParseBitrateRequest(first);
  veyra::ParseError(first);
  return 0;
}
