#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "host/base/hex_text.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

// A finite positive double as its significant digits d1..dk (no leading or
// trailing zeros) and the decimal exponent n, so that the value is
// 0.d1..dk x 10^n.
struct DecimalDigits {
  char digits[32];
  int count = 0;
  int pointPosition = 0;
};

// Reads the digits out of a text like "1.2345e+05" or "123.45" (whatever the
// decimal point character is).
DecimalDigits ExtractDigits(const char* begin, const char* end) {
  DecimalDigits result;
  int digitsBeforePoint = 0;
  bool seenPoint = false;
  bool seenNonZero = false;
  int exponent = 0;
  const char* p = begin;
  for (; p != end && *p != 'e' && *p != 'E'; ++p) {
    if (*p >= '0' && *p <= '9') {
      if (!seenPoint) {
        ++digitsBeforePoint;
      }
      if (*p == '0' && !seenNonZero) {
        // A leading zero moves the point one place left of the first
        // significant digit.
        --digitsBeforePoint;
        continue;
      }
      seenNonZero = true;
      if (result.count < static_cast<int>(sizeof(result.digits))) {
        result.digits[result.count++] = *p;
      }
    } else if (*p != '-' && *p != '+') {
      seenPoint = true;
    }
  }
  if (p != end && p + 1 != end) {
    std::from_chars(*(p + 1) == '+' ? p + 2 : p + 1, end, exponent);
  }
  while (result.count > 0 && result.digits[result.count - 1] == '0') {
    --result.count;
  }
  result.pointPosition = digitsBeforePoint + exponent;
  return result;
}

void AppendDecimal(std::string& out, long long value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  out.append(buffer, result.ptr);
}

}  // namespace

// The ECMAScript Number-to-String rule, so that every reader of the text sees
// the same digits: integers below 1e15 plainly, otherwise the shortest
// round-trip digits, positioned or with an exponent.
void AppendJsonNumber(std::string& out, double x) {
  if (!std::isfinite(x)) {
    out += '0';
    return;
  }
  if (x == std::floor(x) && std::fabs(x) < 1e15) {
    // Negative zero converts to the integer 0.
    AppendDecimal(out, static_cast<long long>(x));
    return;
  }
  if (x < 0) {
    out += '-';
    x = -x;
  }
  char buffer[64];
  const char* end = nullptr;
  const auto converted =
      std::to_chars(buffer, buffer + sizeof(buffer), x, std::chars_format::scientific);
  if (converted.ec == std::errc()) {
    end = converted.ptr;
  } else {
    const int length = std::snprintf(buffer, sizeof(buffer), "%.17g", x);
    end = buffer + (length > 0 ? length : 0);
  }
  const DecimalDigits d = ExtractDigits(buffer, end);
  const int k = d.count;
  const int n = d.pointPosition;
  if (k <= n && n <= 21) {
    out.append(d.digits, k);
    out.append(static_cast<std::size_t>(n - k), '0');
  } else if (0 < n && n <= 21) {
    out.append(d.digits, n);
    out += '.';
    out.append(d.digits + n, k - n);
  } else if (-6 < n && n <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-n), '0');
    out.append(d.digits, k);
  } else {
    out += d.digits[0];
    if (k > 1) {
      out += '.';
      out.append(d.digits + 1, k - 1);
    }
    out += 'e';
    out += n > 1 ? '+' : '-';
    AppendDecimal(out, n > 1 ? n - 1 : 1 - n);
  }
}

namespace {

void AppendString(std::string& out, const std::string& text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case 0x22:
        out += "\\\"";
        break;
      case 0x5C:
        out += "\\\\";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0D:
        out += "\\r";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x0C:
        out += "\\f";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += LowerHexDigit(byte >> 4);
          out += LowerHexDigit(byte);
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void AppendValue(std::string& out, const JsonValue& value) {
  switch (value.kind()) {
    case JsonKind::Null:
      out += "null";
      break;
    case JsonKind::Bool:
      out += value.boolValue() ? "true" : "false";
      break;
    case JsonKind::Number:
      AppendJsonNumber(out, value.number());
      break;
    case JsonKind::String:
      AppendString(out, value.text());
      break;
    case JsonKind::Array: {
      out += '[';
      bool first = true;
      for (const JsonValue& item : value.items()) {
        if (!first) {
          out += ',';
        }
        first = false;
        AppendValue(out, item);
      }
      out += ']';
      break;
    }
    case JsonKind::Object: {
      out += '{';
      bool first = true;
      for (const JsonValue::Member& member : value.members()) {
        if (!first) {
          out += ',';
        }
        first = false;
        AppendString(out, member.first);
        out += ':';
        AppendValue(out, member.second);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::string Serialize(const JsonValue& value) {
  std::string out;
  out.reserve(256);
  AppendValue(out, value);
  return out;
}

}  // namespace veyra
