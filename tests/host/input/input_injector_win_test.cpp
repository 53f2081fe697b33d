#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "host/input/input_injector.h"
#include "host/input/input_platform_win.h"
#include "host/input/pointer_mapping.h"

namespace veyra {
namespace {

std::unique_ptr<InputInjector> MakeInjector() {
  return std::make_unique<InputInjector>(CreateWindowsDisplayLayout(), CreateWindowsInputSink());
}

DesktopRect PrimaryMonitorRect() {
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  EXPECT_TRUE(GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info));
  const RECT& r = info.rcMonitor;
  return DesktopRect{r.left, r.top, r.right, r.bottom};
}

// Dispatches this thread's messages, handing each to |seen| first, until
// |done| says so or |timeoutMs| have passed. Returns whether |done| held.
template <typename Seen, typename Done>
bool PumpUntil(DWORD timeoutMs, Seen seen, Done done) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      return false;
    }
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      seen(msg);
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE,
                                static_cast<DWORD>(std::min<ULONGLONG>(20, deadline - now)),
                                QS_ALLINPUT);
    }
  }
  return true;
}

// A visible top-level window of the test's own class, destroyed with it.
class TestWindow {
 public:
  TestWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    registered_ = RegisterClassW(&wc) != 0;
    hwnd_ = CreateWindowExW(0, kClassName, L"input test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100,
                            100, 320, 200, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~TestWindow() {
    if (hwnd_ != nullptr) {
      DestroyWindow(hwnd_);
    }
    if (registered_) {
      UnregisterClassW(kClassName, GetModuleHandleW(nullptr));
    }
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND hwnd() const { return hwnd_; }

 private:
  static constexpr const wchar_t* kClassName = L"VeyraInputTestWindow";
  bool registered_ = false;
  HWND hwnd_ = nullptr;
};

TEST(InputInjectorUnderWineTest, DisplayLayoutReportsTheMonitorAndDesktop) {
  const auto layout = CreateWindowsDisplayLayout();
  const std::vector<MonitorDescription> monitors = layout->Monitors();
  ASSERT_EQ(monitors.size(), 1U);
  EXPECT_EQ(monitors[0].deviceName, L"\\\\.\\DISPLAY1");
  EXPECT_EQ(monitors[0].rect, PrimaryMonitorRect());
  const DesktopRect& r = monitors[0].rect;
  EXPECT_EQ(layout->ReadVirtualDesktop(),
            (VirtualDesktop{r.left, r.top, r.right - r.left, r.bottom - r.top}));
}

TEST(InputInjectorUnderWineTest, FindMonitorIgnoresCaseAndKeepsAreaForUnknownNames) {
  const auto injector = MakeInjector();
  EXPECT_TRUE(injector->FindMonitor(L"\\\\.\\display1"));
  EXPECT_EQ(injector->TargetArea(), PrimaryMonitorRect());
  const DesktopRect before = injector->TargetArea();
  EXPECT_FALSE(injector->FindMonitor(L"\\\\.\\DISPLAY7"));
  EXPECT_FALSE(injector->FindMonitor(L"DISPLAY1"));
  EXPECT_EQ(injector->TargetArea(), before);
}

TEST(InputInjectorUnderWineTest, SendInputMovesThePointerWhereTheMappingSays) {
  const auto injector = MakeInjector();
  ASSERT_TRUE(injector->FindMonitor(L"\\\\.\\DISPLAY1"));
  const DesktopRect area = injector->TargetArea();
  const VirtualDesktop desktop = CreateWindowsDisplayLayout()->ReadVirtualDesktop();
  const struct {
    float x, y;
  } points[] = {{0.25F, 0.75F}, {0.5F, 0.5F}, {0.0F, 0.0F}, {0.9F, 0.1F}, {-3.0F, 0.333F}};
  for (const auto& pt : points) {
    injector->SendMouse(kMouseEventMove, 0, pt.x, pt.y);
    const PointerPosition expected = MapPointer(pt.x, pt.y, area, desktop);
    POINT cursor{-1, -1};
    ASSERT_TRUE(GetCursorPos(&cursor));
    // 65535 units across the desktop resolve finer than a pixel; the system
    // truncates on the way back, so the pointer lands within one pixel.
    EXPECT_LT(std::fabs(cursor.x - expected.desktopX), 1.0) << pt.x << " gave " << cursor.x;
    EXPECT_LT(std::fabs(cursor.y - expected.desktopY), 1.0) << pt.y << " gave " << cursor.y;
  }
}

TEST(InputInjectorUnderWineTest, KeyPressReachesTheFocusedWindowAsItsVirtualKey) {
  const TestWindow window;
  ASSERT_NE(window.hwnd(), nullptr);
  SetForegroundWindow(window.hwnd());
  SetFocus(window.hwnd());
  ASSERT_TRUE(PumpUntil(
      5000, [](const MSG&) {}, [&] { return GetFocus() == window.hwnd(); }));

  const auto injector = MakeInjector();
  // Nothing is injected before the streamed monitor is known.
  ASSERT_TRUE(injector->FindMonitor(L"\\\\.\\DISPLAY1"));
  injector->Key(4, 0);   // A down
  injector->Key(4, 1);   // A up
  injector->Key(82, 0);  // Up arrow down
  injector->Key(82, 1);  // Up arrow up

  struct Seen {
    UINT message;
    WPARAM virtualKey;
    bool extended;
  };
  std::vector<Seen> seen;
  PumpUntil(
      5000,
      [&](const MSG& msg) {
        if (msg.hwnd == window.hwnd() && (msg.message == WM_KEYDOWN || msg.message == WM_KEYUP)) {
          seen.push_back({msg.message, msg.wParam, ((msg.lParam >> 24) & 1) != 0});
        }
      },
      [&] { return seen.size() >= 4; });

  ASSERT_EQ(seen.size(), 4U);
  const UINT messages[] = {WM_KEYDOWN, WM_KEYUP, WM_KEYDOWN, WM_KEYUP};
  const WPARAM keys[] = {'A', 'A', VK_UP, VK_UP};
  const bool extended[] = {false, false, true, true};
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].message, messages[i]) << i;
    EXPECT_EQ(seen[i].virtualKey, keys[i]) << i;
    EXPECT_EQ(seen[i].extended, extended[i]) << i;
  }
}

}  // namespace
}  // namespace veyra
