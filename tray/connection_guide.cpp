#include "tray/connection_guide.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "tray/data_paths.h"
#include "tray/localized_text.h"

namespace veyra {
namespace {

// The line is far shorter; the bound only keeps the formatting honest.
constexpr std::size_t kStatusLineBytes = 512;

const char* Word(bool value) { return value ? "true" : "false"; }
const wchar_t* Flag(bool value) { return value ? L"1" : L"0"; }
const char* LangCode(bool korean) { return korean ? "ko" : "en"; }

// Appends the \u escape of one UTF-16 unit.
void AppendEscape(std::string& out, std::uint32_t unit) {
  std::array<char, 8> escape{};
  std::snprintf(escape.data(), escape.size(), "\\u%04X", static_cast<unsigned>(unit & 0xFFFFu));
  out += escape.data();
}

bool IsPlain(std::uint32_t code) {
  return (code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') ||
         (code >= '0' && code <= '9') ||
         std::string_view(" .:/#_-~").find(static_cast<char>(code)) != std::string_view::npos;
}

// A JavaScript string literal of the text, in ASCII.
std::string ScriptString(const std::wstring& text) {
  std::string out = "\"";
  for (const wchar_t c : text) {
    const std::uint32_t code = std::char_traits<wchar_t>::to_int_type(c);
    if (code < 0x80 && IsPlain(code)) {
      out += static_cast<char>(code);
    } else if (code > 0xFFFF) {
      // Only where wide characters are whole code points: written as the
      // surrogate pair JavaScript reads the same way.
      AppendEscape(out, 0xD800 + ((code - 0x10000) >> 10));
      AppendEscape(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      AppendEscape(out, code);
    }
  }
  return out + "\"";
}

void WriteStatusScriptOf(GuidePlatform& platform, const GuideStatus& status,
                         const BrowserPath& browser) {
  const std::string line = StatusScriptLine(status, platform.TickMs()) + BrowserStatusLine(browser);
  const std::wstring folder = platform.DataFolder();
  if (folder.empty()) {
    return;
  }
  static_cast<void>(platform.WriteFileAtomically(JoinPath(folder, kStatusScriptFile), line));
}

}  // namespace

GuideStatus GuideStatusOf(const GuideWorld& world, GuidePlatform& platform) {
  GuideStatus status;
  status.connected = world.hostRunning;
  status.driver = world.displayFound || platform.DriverEventExists();
  status.found = world.phonesFound > 0 || world.hostRunning;
  status.phone = !world.receiverAddress.empty() || status.found;
  status.korean = world.korean;
  return status;
}

std::string StatusScriptLine(const GuideStatus& status, std::uint64_t updatedMs) {
  std::array<char, kStatusLineBytes> line{};
  const int length = std::snprintf(
      line.data(), line.size(),
      "window.VEYRA_STATUS={app:true,driver:%s,phone:%s,found:%s,connected:%s,arch:\"%s\","
      "lang:\"%s\",updated:%llu};\n",
      Word(status.driver), Word(status.phone), Word(status.found), Word(status.connected), "x64",
      LangCode(status.korean), static_cast<unsigned long long>(updatedMs));
  if (length <= 0 || static_cast<std::size_t>(length) >= line.size()) {
    return {};
  }
  return {line.data(), static_cast<std::size_t>(length)};
}

std::string BrowserStatusLine(const BrowserPath& browser) {
  std::string line = "window.VEYRA_BROWSER={state:\"";
  line += BrowserPhaseWord(browser.phase);
  line += "\",link:";
  line += ScriptString(browser.link);
  line += ",usb:";
  line += ScriptString(browser.usb);
  line += ",others:[";
  for (std::size_t i = 0; i < browser.others.size(); ++i) {
    if (i != 0) {
      line += ',';
    }
    line += ScriptString(browser.others[i]);
  }
  line += "],phone:";
  line += ScriptString(browser.phone);
  line += "};\n";
  return line;
}

std::wstring GuideQuery(const GuideStatus& status) {
  std::wstring query = L"?lang=";
  query += status.korean ? L"ko" : L"en";
  query += L"&arch=x64&app=1&driver=";
  query += Flag(status.driver);
  query += L"&phone=";
  query += Flag(status.phone);
  query += L"&found=";
  query += Flag(status.found);
  query += L"&connected=";
  query += Flag(status.connected);
  return query;
}

std::wstring OnlineGuideAddress(const GuideStatus& status) {
  return std::wstring(L"https://") + kMakerWebHost + kGuidePagePath + GuideQuery(status);
}

std::wstring LocalGuideAddress(const std::wstring& fileUrl, std::uint64_t tickMs,
                               bool browserPath) {
  return fileUrl + L"?refresh=" + std::to_wstring(tickMs) + (browserPath ? L"&show=browser" : L"");
}

std::optional<std::wstring> PrepareLocalGuide(GuidePlatform& platform) {
  const std::wstring folder = platform.DataFolder();
  if (folder.empty()) {
    return std::nullopt;
  }
  std::wstring page = JoinPath(folder, kGuidePageFile);
  if (!platform.CopyFileOver(platform.FileBesideProgram(kGuidePageFile), page)) {
    return std::nullopt;
  }
  for (const wchar_t* file : {kGuideIconFile, kGuideQrScriptFile}) {
    static_cast<void>(
        platform.CopyFileOver(platform.FileBesideProgram(file), JoinPath(folder, file)));
  }
  return page;
}

void WriteStatusScript(GuidePlatform& platform, const GuideWorld& world) {
  WriteStatusScriptOf(platform, GuideStatusOf(world, platform), world.browser);
}

bool OpenGuide(GuidePlatform& platform, SettingsStore& settings, const GuideWorld& world,
               GuideMode mode, bool browserPath) {
  const bool automatic = mode == GuideMode::kAutomatic;
  const auto missing = [&] {
    if (!automatic) {
      platform.ShowWarning(TextFor(TextRole::GuideMissing, world.korean));
    }
  };
  const std::optional<std::wstring> page = PrepareLocalGuide(platform);
  if (!page) {
    missing();
    return false;
  }
  const GuideStatus status = GuideStatusOf(world, platform);
  WriteStatusScriptOf(platform, status, world.browser);
  const std::optional<std::wstring> url = platform.FileUrl(*page);
  if (!url) {
    missing();
    return true;
  }
  // A page that shows counts only once a browser started: a first start
  // that failed tries again at the next one.
  const auto shown = [&] {
    if (automatic) {
      settings.Write(kSetupGuideShownSetting, L"1");
    }
  };
  if (!browserPath && platform.ProbeGuideSite() &&
      platform.OpenInBrowser(OnlineGuideAddress(status))) {
    shown();
    return true;
  }
  if (platform.OpenInBrowser(LocalGuideAddress(*url, platform.TickMs(), browserPath))) {
    shown();
  } else {
    missing();
  }
  return true;
}

}  // namespace veyra
