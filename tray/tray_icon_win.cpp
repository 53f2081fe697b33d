#include "tray/tray_icon_win.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tray/grey_icon.h"
#include "tray/resource_ids.h"

namespace veyra {
namespace {

constexpr UINT kNotifyIconId = 1;

// Deletes a GDI object when it goes out of scope.
class ScopedGdiObject {
 public:
  explicit ScopedGdiObject(HGDIOBJ object) : object_(object) {}
  ~ScopedGdiObject() {
    if (object_ != nullptr) {
      DeleteObject(object_);
    }
  }
  ScopedGdiObject(const ScopedGdiObject&) = delete;
  ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;

 private:
  HGDIOBJ object_;
};

class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() {
    if (dc_ != nullptr) {
      ReleaseDC(nullptr, dc_);
    }
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  HDC Get() const { return dc_; }

 private:
  HDC dc_;
};

void CopyTip(NOTIFYICONDATAW& data, const std::wstring& tooltip) {
  const std::size_t units = std::min(tooltip.size(), std::size(data.szTip) - 1);
  std::copy_n(tooltip.begin(), units, data.szTip);
  data.szTip[units] = L'\0';
}

NOTIFYICONDATAW NotifyData(HWND window) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = window;
  data.uID = kNotifyIconId;
  return data;
}

}  // namespace

ScopedIcon LoadTrayIcon(HINSTANCE instance, bool attached) {
  const int size = GetSystemMetrics(SM_CXSMICON);
  ScopedIcon loaded(static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_TRAY), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
  if (loaded.Get() == nullptr) {
    // LoadIconW hands out the shared system icon, which must never be
    // destroyed; the copy is ours to destroy like any other.
    return ScopedIcon(CopyIcon(LoadIconW(nullptr, IDI_APPLICATION)));
  }
  if (attached) {
    return loaded;
  }
  ScopedIcon grey = MakeGreyIcon(loaded.Get(), size);
  return grey.Get() != nullptr ? std::move(grey) : std::move(loaded);
}

ScopedIcon MakeGreyIcon(HICON icon, int size) {
  ICONINFO info{};
  if (size <= 0 || !GetIconInfo(icon, &info)) {
    return {};
  }
  const ScopedGdiObject colour(info.hbmColor);
  const ScopedGdiObject mask(info.hbmMask);
  if (info.hbmColor == nullptr) {
    return {};  // a monochrome icon has no colour bitmap to grey
  }
  BITMAPINFO header{};
  header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  header.bmiHeader.biWidth = size;
  header.bmiHeader.biHeight = -size;  // top-down
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = 32;
  header.bmiHeader.biCompression = BI_RGB;
  const std::size_t bytes = static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4;
  std::vector<std::uint8_t> pixels(bytes);
  const ScreenDc screen;
  if (screen.Get() == nullptr || GetDIBits(screen.Get(), info.hbmColor, 0, static_cast<UINT>(size),
                                           pixels.data(), &header, DIB_RGB_COLORS) == 0) {
    return {};
  }
  GreyPixels(pixels);
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(screen.Get(), &header, DIB_RGB_COLORS, &bits, nullptr, 0);
  const ScopedGdiObject sectionOwner(section);
  if (section == nullptr || bits == nullptr) {
    return {};
  }
  std::memcpy(bits, pixels.data(), bytes);
  ICONINFO grey{};
  grey.fIcon = TRUE;
  grey.hbmMask = info.hbmMask;
  grey.hbmColor = section;
  // CreateIconIndirect copies both bitmaps, so ours are deleted on return.
  return ScopedIcon(CreateIconIndirect(&grey));
}

void AddNotifyIcon(HWND window, UINT callbackMessage, HICON icon, const std::wstring& tooltip) {
  NOTIFYICONDATAW data = NotifyData(window);
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = callbackMessage;
  data.hIcon = icon;
  CopyTip(data, tooltip);
  // No NIM_SETVERSION: callbacks carry the plain mouse message. Failures
  // are left to the next "TaskbarCreated".
  Shell_NotifyIconW(NIM_ADD, &data);
}

void ModifyNotifyIcon(HWND window, HICON icon, const std::wstring& tooltip) {
  NOTIFYICONDATAW data = NotifyData(window);
  data.uFlags = NIF_ICON | NIF_TIP;
  data.hIcon = icon;
  CopyTip(data, tooltip);
  Shell_NotifyIconW(NIM_MODIFY, &data);
}

void DeleteNotifyIcon(HWND window) {
  NOTIFYICONDATAW data = NotifyData(window);
  Shell_NotifyIconW(NIM_DELETE, &data);
}

}  // namespace veyra
