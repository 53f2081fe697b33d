#include "host/input/input_injector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/input/fake_display_layout.h"
#include "host/input/fake_input_sink.h"

namespace veyra {
namespace {

constexpr std::uint32_t kAbs = kMouseEventAbsolute | kMouseEventVirtualDesk;

// Collects what the injector logs at DEBUG and above while it lives.
class LogCapture {
 public:
  LogCapture() : saved_(LogThreshold()) { SetLogThreshold(LogLevel::Debug); }
  ~LogCapture() { SetLogThreshold(saved_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Take() { return sink_.Text(); }

 private:
  LogLevel saved_;
  std::string lines_;
  RecordingLogSink sink_{&lines_};
};

class InputInjectorTest : public testing::Test {
 protected:
  InputInjectorTest() {
    auto layout = std::make_unique<FakeDisplayLayout>();
    auto sink = std::make_unique<FakeInputSink>(&mouse_, &keys_);
    layout_ = layout.get();
    sink_ = sink.get();
    injector_ = std::make_unique<InputInjector>(std::move(layout), std::move(sink),
                                                [this] { return nowUs_.load(); });
    // Until it knows the streamed monitor the injector sends nothing; most
    // cases aim at a primary monitor of 1920 x 1080.
    injector_->Touch(InputInjector::kTouchDown, 0.5F, 0.5F, 0);
    injector_->Key(4, 0);
    unaimedInputs_ = mouse_.size() + keys_.size();
    layout_->SetMonitors({{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}}});
    injector_->FindMonitor(L"\\\\.\\DISPLAY1");
    ClearInputs();
  }

  // Two monitors side by side; input aimed at the right-hand one.
  void AimAtRightMonitor() {
    layout_->SetMonitors(
        {{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}}, {L"\\\\.\\DISPLAY2", {1920, 0, 3840, 1080}}});
    layout_->SetVirtualDesktop({0, 0, 3840, 1080});
    ASSERT_TRUE(injector_->FindMonitor(L"\\\\.\\DISPLAY2"));
  }

  std::vector<std::uint32_t> MouseFlags() const {
    std::vector<std::uint32_t> flags;
    for (const MouseInput& m : mouse_) {
      flags.push_back(m.flags);
    }
    return flags;
  }

  void ClearInputs() {
    mouse_.clear();
    keys_.clear();
  }

  // The rate limit's clock, moved by the tests.
  std::atomic<std::uint64_t> nowUs_{1000000000};
  FakeDisplayLayout* layout_ = nullptr;
  std::vector<MouseInput> mouse_;
  std::vector<KeyboardInput> keys_;
  FakeInputSink* sink_ = nullptr;
  std::unique_ptr<InputInjector> injector_;
  std::size_t unaimedInputs_ = 0;
};

TEST_F(InputInjectorTest, SendsAbsoluteMouseInputAndLogsTheMapping) {
  struct Case {
    const char* name;
    std::vector<MonitorDescription> monitors;
    VirtualDesktop desktop;
    float x, y;
    std::int32_t dx, dy;
    const char* line;
  };
  const Case cases[] = {
      {"right of two",
       {{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}}, {L"\\\\.\\DISPLAY2", {1920, 0, 3840, 1080}}},
       {0, 0, 3840, 1080},
       0.5F,
       0.5F,
       49164,
       32798,
       "input: norm=(0.5000,0.5000) -> desktop=(2880,540) abs=(49164,32798) "
       "vd=3840x1080@(0,0)\n"},
      {"neighbour on the left",
       {{L"\\\\.\\DISPLAY2", {0, 0, 1920, 1080}}, {L"\\\\.\\DISPLAY1", {-1920, 0, 0, 1080}}},
       {-1920, 0, 3840, 1080},
       0.0F,
       0.0F,
       32776,
       0,
       "input: norm=(0.0000,0.0000) -> desktop=(0,0) abs=(32776,0) vd=3840x1080@(-1920,0)\n"},
      {"clamped, logged as received",
       {{L"\\\\.\\DISPLAY2", {0, 0, 1920, 1080}}},
       {0, 0, 1920, 1080},
       -0.2F,
       1.7F,
       0,
       65596,
       "input: norm=(-0.2000,1.7000) -> desktop=(0,1080) abs=(0,65596) vd=1920x1080@(0,0)\n"},
  };
  for (const Case& c : cases) {
    layout_->SetMonitors(c.monitors);
    layout_->SetVirtualDesktop(c.desktop);
    ASSERT_TRUE(injector_->FindMonitor(L"\\\\.\\DISPLAY2")) << c.name;
    ClearInputs();
    LogCapture log;
    injector_->SendMouse(kMouseEventMove, 7, c.x, c.y);
    const std::string text = log.Take();

    ASSERT_EQ(mouse_.size(), 1U) << c.name;
    const MouseInput& m = mouse_[0];
    EXPECT_EQ(m.dx, c.dx) << c.name;
    EXPECT_EQ(m.dy, c.dy) << c.name;
    EXPECT_EQ(m.mouseData, 7U) << c.name;
    EXPECT_EQ(m.flags, kMouseEventMove | kAbs) << c.name;
    EXPECT_NE(text.find(std::string("DEBUG ") + c.line), std::string::npos) << c.name << text;
  }
}

TEST_F(InputInjectorTest, FindMonitorMatchesNamesIgnoringCaseAndKeepsAreaOtherwise) {
  EXPECT_EQ(unaimedInputs_, 0u) << "input before the streamed monitor was known";
  layout_->SetMonitors({{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}},
                        {L"\\\\.\\DISPLAY2", {1920, 0, 3840, 1080}},
                        {L"\\\\.\\DISPLAY3", {3840, 0, 3840, 1080}}});
  {
    LogCapture log;
    EXPECT_TRUE(injector_->FindMonitor(L"\\\\.\\display2"));
    EXPECT_NE(log.Take().find("] INFO  input target rect: (1920,0)-(3840,1080)\n"),
              std::string::npos);
  }
  const DesktopRect right{1920, 0, 3840, 1080};
  EXPECT_EQ(injector_->TargetArea(), right);

  LogCapture log;
  EXPECT_FALSE(injector_->FindMonitor(L"\\\\.\\DISPLAY9"));
  EXPECT_FALSE(injector_->FindMonitor(L"\\\\.\\DISPLAY"));
  EXPECT_FALSE(injector_->FindMonitor(L"\\\\.\\DISPLAY3"));  // empty rectangle
  EXPECT_FALSE(injector_->FindMonitor(L""));
  EXPECT_EQ(injector_->TargetArea(), right);
  EXPECT_EQ(log.Take(), "");
}

TEST_F(InputInjectorTest, TouchesPressAndReleaseTheChosenButton) {
  struct Event {
    std::uint8_t action;
    std::uint32_t buttons;
  };
  struct Case {
    const char* name;
    std::vector<Event> events;
    std::vector<std::uint32_t> flags;  // each also carries kAbs
  };
  constexpr std::uint32_t kMove = kMouseEventMove;
  constexpr std::uint32_t kLeftDown = kMouseEventLeftDown;
  constexpr std::uint32_t kLeftUp = kMouseEventLeftUp;
  constexpr std::uint32_t kRightDown = kMouseEventRightDown;
  constexpr std::uint32_t kRightUp = kMouseEventRightUp;
  const Case cases[] = {
      {"right click", {{0, 2}, {2, 2}}, {kMove, kRightDown, kMove, kRightUp}},
      {"left drag", {{0, 1}, {1, 1}, {2, 0}}, {kMove, kLeftDown, kMove, kMove, kLeftUp}},
      {"cancel with nothing held", {{3, 0}}, {}},
      {"up with nothing held", {{2, 0}}, {kMove}},
      {"cancel releases without moving", {{0, 0}, {3, 0}}, {kMove, kLeftDown, kLeftUp}},
      {"second down presses again",
       {{0, 0}, {0, 0}, {2, 0}},
       {kMove, kLeftDown, kMove, kLeftDown, kMove, kLeftUp}},
      {"both buttons released left first",
       {{0, 2}, {0, 0}, {2, 0}},
       {kMove, kRightDown, kMove, kLeftDown, kMove, kLeftUp, kRightUp}},
      {"unknown actions ignored", {{4, 0}, {255, 2}}, {}},
  };
  for (const Case& c : cases) {
    ClearInputs();
    for (const Event& e : c.events) {
      injector_->Touch(e.action, 0.25F, 0.5F, e.buttons);
    }
    std::vector<std::uint32_t> expected;
    for (const std::uint32_t f : c.flags) {
      expected.push_back(f | kAbs);
    }
    EXPECT_EQ(MouseFlags(), expected) << c.name;
    // Every input of a touch is aimed at the touch's own position.
    for (const MouseInput& m : mouse_) {
      EXPECT_EQ(m.dx, 16392) << c.name;  // 480 px of 1920
      EXPECT_EQ(m.mouseData, 0U) << c.name;
    }
    // Nothing stays held between cases.
    ClearInputs();
    injector_->ReleaseAll();
    EXPECT_TRUE(mouse_.empty()) << c.name;
  }
}

TEST_F(InputInjectorTest, RefusedInputIsLoggedAndStillCountsAsHeld) {
  sink_->RefuseMouse(5);
  LogCapture log;
  injector_->Touch(InputInjector::kTouchDown, 0.5F, 0.5F, 0);
  injector_->ReleaseAll();
  const std::string text = log.Take();
  EXPECT_EQ(MouseFlags(),
            (std::vector<std::uint32_t>{kMouseEventMove | kAbs, kMouseEventLeftDown | kAbs,
                                        kMouseEventLeftUp | kAbs}));
  const std::string line = "] DEBUG SendInput rejected (error 5)\n";
  std::size_t refusals = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
    ++refusals;
  }
  EXPECT_EQ(refusals, 3U) << text;
}

TEST_F(InputInjectorTest, ScrollsByWheelUnitsProportionalToTheTargetArea) {
  struct Wheel {
    std::uint32_t flags;
    std::int32_t units;
  };
  struct Case {
    float dx, dy;
    std::vector<Wheel> wheels;
  };
  constexpr std::uint32_t kV = kMouseEventWheel | kAbs;
  constexpr std::uint32_t kH = kMouseEventHorizontalWheel | kAbs;
  const Case cases[] = {
      {0.0F, 0.1F, {{kV, 129}}},
      {0.0F, 0.0005F, {}},
      {0.1F, 0.0F, {{kH, -230}}},
      {-0.05F, -0.05F, {{kV, -64}, {kH, 115}}},
      {0.0004F, 0.0009F, {}},
      // A runaway amount moves the wheel by a bounded amount.
      {std::numeric_limits<float>::infinity(),
       std::numeric_limits<float>::quiet_NaN(),
       {{kH, -InputInjector::kMaxWheelUnitsPerScroll}}},
      {0.0F, 1e30F, {{kV, InputInjector::kMaxWheelUnitsPerScroll}}},
  };
  AimAtRightMonitor();
  for (const Case& c : cases) {
    ClearInputs();
    injector_->Scroll(c.dx, c.dy, 0.5F, 0.5F);
    ASSERT_EQ(mouse_.size(), c.wheels.size()) << c.dx << "," << c.dy;
    for (std::size_t i = 0; i < c.wheels.size(); ++i) {
      const MouseInput& m = mouse_[i];
      EXPECT_EQ(m.flags, c.wheels[i].flags);
      EXPECT_EQ(static_cast<std::int32_t>(m.mouseData), c.wheels[i].units);
      EXPECT_EQ(m.dx, 49164);  // at the scroll's own position
    }
  }
}

TEST_F(InputInjectorTest, KeysBecomeVirtualKeysWithExtendedAndReleaseFlags) {
  struct Case {
    std::uint32_t usage;
    std::uint8_t action;
    std::uint16_t virtualKey;
    std::uint32_t flags;
  };
  const Case cases[] = {
      {4, 0, 65, 0},                                       // A pressed
      {82, 1, 38, kKeyEventExtendedKey | kKeyEventKeyUp},  // Up released
      {40, 0, 13, 0},                                      // Enter is not extended
      {228, 0, 163, kKeyEventExtendedKey},                 // Right Control is
      {224, 1, 162, kKeyEventKeyUp},                       // Left Control is not
      {44, 2, 32, 0},                                      // any action but 1 presses
  };
  for (const Case& c : cases) {
    if (c.action == InputInjector::kKeyReleased) {
      injector_->Key(c.usage, 0);
    }
    ClearInputs();
    injector_->Key(c.usage, c.action);
    ASSERT_EQ(keys_.size(), 1U) << c.usage;
    const KeyboardInput& k = keys_[0];
    EXPECT_EQ(k.virtualKey, c.virtualKey) << c.usage;
    EXPECT_EQ(k.scanCode, c.virtualKey + FakeInputSink::kScanCodeOffset) << c.usage;
    EXPECT_EQ(k.flags, c.flags) << c.usage;
  }
}

TEST_F(InputInjectorTest, UnmappedUsageIsLoggedAndNotSent) {
  LogCapture log;
  injector_->Key(0x62, 0);
  injector_->Key(0x1FF, 1);
  const std::string text = log.Take();
  EXPECT_TRUE(keys_.empty());
  EXPECT_NE(text.find("] DEBUG unmapped HID usage 0x62\n"), std::string::npos) << text;
  EXPECT_NE(text.find("] DEBUG unmapped HID usage 0x1FF\n"), std::string::npos) << text;
}

TEST_F(InputInjectorTest, ReleaseAllLetsGoOfHeldTouchAndKeysOnce) {
  AimAtRightMonitor();
  injector_->Touch(InputInjector::kTouchDown, 0.3F, 0.3F, 0);
  injector_->Key(225, 0);  // Left Shift
  injector_->Key(227, 0);  // Left Windows key
  injector_->Key(4, 0);    // A, then released by the receiver itself
  injector_->Key(4, InputInjector::kKeyReleased);
  ClearInputs();
  LogCapture log;
  injector_->ReleaseAll();
  injector_->ReleaseAll();
  ASSERT_EQ(MouseFlags(), std::vector<std::uint32_t>{kMouseEventLeftUp | kAbs});
  EXPECT_NE(log.Take().find("input: norm=(0.0000,0.0000) -> desktop=(1920,0)"), std::string::npos);
  ASSERT_EQ(keys_.size(), 2U);
  EXPECT_EQ(keys_[0].virtualKey, 91);   // VK_LWIN
  EXPECT_EQ(keys_[1].virtualKey, 160);  // VK_LSHIFT
  EXPECT_EQ(keys_[0].flags & kKeyEventKeyUp, kKeyEventKeyUp);
  EXPECT_EQ(keys_[1].flags & kKeyEventKeyUp, kKeyEventKeyUp);

  // A release of a key that is not held sends nothing.
  ClearInputs();
  injector_->Key(225, InputInjector::kKeyReleased);
  EXPECT_TRUE(keys_.empty());

  // A later touch up has nothing left to release.
  ClearInputs();
  injector_->Touch(InputInjector::kTouchUp, 0.3F, 0.3F, 0);
  EXPECT_EQ(MouseFlags(), std::vector<std::uint32_t>{kMouseEventMove | kAbs});

  // Suspended, a press arriving late is dropped instead of staying held
  // after the release; a resume lets presses through again.
  ClearInputs();
  injector_->Key(224, 0);  // Left Control
  injector_->Suspend();
  injector_->Key(226, 0);  // Left Alt, too late
  injector_->Touch(InputInjector::kTouchDown, 0.3F, 0.3F, 0);
  injector_->Scroll(0.0F, 0.5F, 0.3F, 0.3F);
  ASSERT_EQ(keys_.size(), 2U);
  EXPECT_EQ(keys_[1].virtualKey, 162);  // VK_LCONTROL, released
  EXPECT_EQ(keys_[1].flags & kKeyEventKeyUp, kKeyEventKeyUp);
  EXPECT_TRUE(mouse_.empty());
  injector_->Resume();
  injector_->Key(226, 0);
  ASSERT_EQ(keys_.size(), 3U);
  EXPECT_EQ(keys_[2].virtualKey, 164);  // VK_LMENU
}

// 10,000 touches in one second: at most the burst and a second's refill get
// through, with one log line for the drops; the release of a held button
// always gets through.
TEST_F(InputInjectorTest, AFloodOfTouchesIsBoundedAndReleasesStillPass) {
  AimAtRightMonitor();
  LogCapture log;
  injector_->Touch(InputInjector::kTouchDown, 0.5F, 0.5F, 0);
  for (int i = 0; i < 10000; ++i) {
    nowUs_ += 100;
    injector_->Touch(InputInjector::kTouchMove, 0.5F, 0.5F, 0);
  }
  EXPECT_LE(mouse_.size(), InputInjector::kInputBurst + InputInjector::kInputEventsPerSecond + 2);
  EXPECT_GE(mouse_.size(), InputInjector::kInputEventsPerSecond);
  ClearInputs();
  injector_->Touch(InputInjector::kTouchUp, 0.5F, 0.5F, 0);
  EXPECT_EQ(MouseFlags(),
            (std::vector<std::uint32_t>{kMouseEventMove | kAbs, kMouseEventLeftUp | kAbs}));
  const std::string text = log.Take();
  std::size_t lines = 0;
  for (std::size_t at = text.find("input flood"); at != std::string::npos;
       at = text.find("input flood", at + 1)) {
    ++lines;
  }
  EXPECT_GE(lines, 1U);
  EXPECT_LE(lines, 2U);
}

// A pipeline restart (FindMonitor, ReleaseAll) on one thread while touches
// arrive on another: every press is released exactly once and the area is
// always one of the two monitors.
TEST_F(InputInjectorTest, StaysConsistentWhenPipelineRestartsMeetInput) {
  layout_->SetMonitors(
      {{L"\\\\.\\DISPLAY1", {0, 0, 1920, 1080}}, {L"\\\\.\\DISPLAY2", {1920, 0, 3840, 1080}}});
  constexpr int kRounds = 2000;
  std::thread touches([&] {
    for (int i = 0; i < kRounds; ++i) {
      injector_->Touch(InputInjector::kTouchDown, 0.5F, 0.5F, (i % 3 == 0) ? 2 : 0);
      injector_->Touch(InputInjector::kTouchMove, 0.6F, 0.6F, 0);
      injector_->Touch(InputInjector::kTouchUp, 0.6F, 0.6F, 0);
    }
  });
  std::vector<DesktopRect> seen;
  for (int i = 0; i < kRounds; ++i) {
    injector_->FindMonitor(i % 2 == 0 ? L"\\\\.\\DISPLAY1" : L"\\\\.\\DISPLAY2");
    injector_->ReleaseAll();
    seen.push_back(injector_->TargetArea());
  }
  touches.join();
  injector_->ReleaseAll();

  int held = 0;
  for (const MouseInput& m : mouse_) {
    held += (m.flags & (kMouseEventLeftDown | kMouseEventRightDown)) != 0 ? 1 : 0;
    held -= (m.flags & (kMouseEventLeftUp | kMouseEventRightUp)) != 0 ? 1 : 0;
    ASSERT_GE(held, 0);
    ASSERT_LE(held, 1);
  }
  EXPECT_EQ(held, 0);
  for (const DesktopRect& r : seen) {
    EXPECT_TRUE(r.left == 0 || r.left == 1920);
    EXPECT_EQ(r.right - r.left, 1920);
  }
}

}  // namespace
}  // namespace veyra
