#pragma once

// The connection guide: which page opens, what the status script says, and
// when the first-start guide counts as shown. The platform's part (files,
// the site probe, the browser) sits behind GuidePlatform.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tray/browser_path.h"
#include "tray/settings_store.h"

namespace veyra {

// The maker's web site, which serves the online guide at "/setup" and
// answers the reachability probe at "/guide". The one place it is named.
inline constexpr const wchar_t* kMakerWebHost = L"www.brenvik.example";
inline constexpr const wchar_t* kGuideProbePath = L"/guide";
inline constexpr const wchar_t* kGuidePagePath = L"/setup";

// Files of the local guide, in the tray's data folder.
inline constexpr const wchar_t* kGuidePageFile = L"setup.html";
inline constexpr const wchar_t* kGuideIconFile = L"veyra-icon.png";
inline constexpr const wchar_t* kStatusScriptFile = L"status.js";
// The QR code library the page draws the browser path's code with.
inline constexpr const wchar_t* kGuideQrScriptFile = L"qrcode.js";

enum class GuideMode {
  kAutomatic,  // the first start: failures stay silent
  kManual      // the menu item: failures say the guide is missing
};

// What the guide reports, read from the tray's state at one moment.
struct GuideWorld {
  bool displayFound = false;  // the last probe found the extra display
  std::wstring receiverAddress;
  std::size_t phonesFound = 0;  // by the last search
  bool hostRunning = false;
  bool korean = false;
  BrowserPath browser;
};

struct GuideStatus {
  bool driver = false;
  bool phone = false;
  bool found = false;
  bool connected = false;
  bool korean = false;
};

// What the guide asks of the platform. UI thread only.
class GuidePlatform {
 public:
  virtual ~GuidePlatform() = default;

  // The per-user data folder; empty when there is none.
  virtual std::wstring DataFolder() = 0;
  virtual std::wstring FileBesideProgram(const std::wstring& name) = 0;
  // Copies over an existing file; false when it did not.
  virtual bool CopyFileOver(const std::wstring& from, const std::wstring& to) = 0;
  // Replaces the file whole: a reader sees the old or the new content.
  virtual bool WriteFileAtomically(const std::wstring& path, std::string_view bytes) = 0;
  // The virtual display driver runs (its named event exists).
  virtual bool DriverEventExists() = 0;
  virtual std::uint64_t TickMs() = 0;
  // The file URL of a path; nothing when it cannot be made.
  virtual std::optional<std::wstring> FileUrl(const std::wstring& path) = 0;
  // The online guide answers.
  virtual bool ProbeGuideSite() = 0;
  // Opens the address in the user's browser; false when nothing started.
  virtual bool OpenInBrowser(const std::wstring& address) = 0;
  virtual void ShowWarning(const std::wstring& text) = 0;
};

// The driver's event is asked for only when the probe did not already
// find the extra display.
GuideStatus GuideStatusOf(const GuideWorld& world, GuidePlatform& platform);

// The first line of "status.js", in ASCII, ended by a line feed.
std::string StatusScriptLine(const GuideStatus& status, std::uint64_t updatedMs);

// Its second line, the phone's-browser path: window.VEYRA_BROWSER={state:..,
// link:..,usb:..,others:[..],phone:..}; in ASCII, every character of the
// texts but letters, digits and " .:/#_-~" written as a \u escape, so that
// a phone's name can neither end the string nor the script.
std::string BrowserStatusLine(const BrowserPath& browser);

// "?lang=..&arch=x64&app=1&driver=..&phone=..&found=..&connected=..".
std::wstring GuideQuery(const GuideStatus& status);
std::wstring OnlineGuideAddress(const GuideStatus& status);
// The page's file URL with a "?refresh=" suffix, so a browser that still
// shows an older copy loads it again; "&show=browser" opens the phone's
// browser path.
std::wstring LocalGuideAddress(const std::wstring& fileUrl, std::uint64_t tickMs,
                               bool browserPath = false);

// Copies the page, its picture and its QR code library from beside the
// program into the data folder; the copied page's path, or nothing when
// there is no folder or the page could not be copied. A missing picture or
// library is not a failure (the page then shows the address as text only).
std::optional<std::wstring> PrepareLocalGuide(GuidePlatform& platform);

// Rewrites "status.js" in the data folder; failures are ignored, the page
// then shows the status as stale.
void WriteStatusScript(GuidePlatform& platform, const GuideWorld& world);

// Opens the online guide when the site answers, else the local page. In
// automatic mode "SetupGuideShown" is written once a browser started.
// True once the local page was prepared: from then on the status script is
// to be kept current. The phone's browser path always opens the local page:
// its code carries a secret that stays on this PC.
bool OpenGuide(GuidePlatform& platform, SettingsStore& settings, const GuideWorld& world,
               GuideMode mode, bool browserPath = false);

}  // namespace veyra
