// Parses arbitrary bytes as JSON, writes what parsed, and parses that text
// again: the second parse must succeed, give the same value (numbers as the
// writer puts them: non-finite ones become 0) and write the same text.

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JsonValue first;
  try {
    first = veyra::Parse(data, size);
  } catch (const veyra::ProtocolError&) {
    return 0;
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
