// Writes and reads the tray's settings key byte for byte, for the tests
// that give the tray values of the wrong type or size:
//
//   set <name>=<type>:<hex>[*<count>]...   stores the bytes (the hex repeated
//                                          count times) as a value of that
//                                          numeric type (1 REG_SZ, 3 REG_BINARY...)
//   dump                                   one line per value of the key:
//                                          name, type, size and a hash of the bytes
//
// Exit code 0 when everything was done, 1 if not. The bytes go through
// RegSetValueExW untouched: no terminator is added and none is required.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "host/base/scoped_registry_key_win.h"

using veyra::ScopedRegistryKey;

namespace {

constexpr const wchar_t* kSettingsKey = L"Software\\Brenvik\\Veyra";

void Print(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes,
                      nullptr, nullptr);
  out += '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') {
    return c - L'0';
  }
  if (c >= L'a' && c <= L'f') {
    return c - L'a' + 10;
  }
  if (c >= L'A' && c <= L'F') {
    return c - L'A' + 10;
  }
  return -1;
}

struct RawValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// "name=type:hex[*count]"; false when it does not read that way.
bool ParseRawValue(const std::wstring& spec, RawValue& out) {
  const std::size_t equals = spec.find(L'=');
  const std::size_t colon = spec.find(L':', equals);
  if (equals == std::wstring::npos || colon == std::wstring::npos) {
    return false;
  }
  out.name = spec.substr(0, equals);
  out.type = static_cast<DWORD>(std::wcstoul(spec.c_str() + equals + 1, nullptr, 10));
  const std::size_t star = spec.find(L'*', colon);
  const std::wstring hex =
      spec.substr(colon + 1, star == std::wstring::npos ? star : star - colon - 1);
  const unsigned long count =
      star == std::wstring::npos ? 1 : std::wcstoul(spec.c_str() + star + 1, nullptr, 10);
  if (hex.size() % 2 != 0) {
    return false;
  }
  std::vector<BYTE> pattern;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    pattern.push_back(static_cast<BYTE>(high * 16 + low));
  }
  for (unsigned long i = 0; i < count; ++i) {
    out.bytes.insert(out.bytes.end(), pattern.begin(), pattern.end());
  }
  return true;
}

int SetValues(int argc, wchar_t** argv) {
  ScopedRegistryKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.Receive(), nullptr) != ERROR_SUCCESS) {
    Print(L"failed: cannot create the key");
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    RawValue value;
    if (!ParseRawValue(argv[i], value)) {
      Print(std::wstring(L"failed: cannot read ") + argv[i]);
      return 1;
    }
    if (RegSetValueExW(key.Get(), value.name.c_str(), 0, value.type,
                       value.bytes.empty() ? nullptr : value.bytes.data(),
                       static_cast<DWORD>(value.bytes.size())) != ERROR_SUCCESS) {
      Print(L"failed: cannot set " + value.name);
      return 1;
    }
  }
  return 0;
}

// FNV-1a: enough to tell whether a value's bytes changed.
std::uint64_t Hash(const std::vector<BYTE>& bytes) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (BYTE b : bytes) {
    hash = (hash ^ b) * 1099511628211ULL;
  }
  return hash;
}

int DumpValues() {
  ScopedRegistryKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
    return 0;  // no key: no values
  }
  for (DWORD index = 0;; ++index) {
    std::vector<wchar_t> name(16384);
    DWORD nameUnits = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status =
        RegEnumValueW(key.Get(), index, name.data(), &nameUnits, nullptr, &type, nullptr, &size);
    if (status == ERROR_NO_MORE_ITEMS) {
      return 0;
    }
    if (status != ERROR_SUCCESS) {
      Print(L"failed: cannot list the values");
      return 1;
    }
    const std::wstring valueName(name.data(), nameUnits);
    std::vector<BYTE> bytes(size);
    status = RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &type,
                              bytes.empty() ? nullptr : bytes.data(), &size);
    if (status != ERROR_SUCCESS) {
      Print(L"failed: cannot read " + valueName);
      return 1;
    }
    bytes.resize(size);
    wchar_t hash[17];
    std::swprintf(hash, 17, L"%016llX", static_cast<unsigned long long>(Hash(bytes)));
    Print(valueName + L" " + std::to_wstring(type) + L" " + std::to_wstring(bytes.size()) + L" " +
          hash);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring verb = argc >= 2 ? argv[1] : L"";
  if (verb == L"set") {
    return SetValues(argc, argv);
  }
  if (verb == L"dump") {
    return DumpValues();
  }
  Print(L"failed: unknown subcommand");
  return 1;
}
