// Input injected into a private Xvfb through the real layout and sink, as
// the injector drives them in the host, and recorded by a window of the
// test's own that covers the screen and holds the keyboard focus.

#include <gtest/gtest.h>
#include <poll.h>
#include <xcb/xcb.h>

#include <X11/keysym.h>

#include <memory>
#include <string>
#include <vector>

#include "host/base/recording_log_sink.h"
#include "host/base/x11_display_posix.h"
#include "host/input/input_injector.h"
#include "host/input/input_sink_x11_posix.h"
#include "tests/host/support/x11_test_client_posix.h"
#include "tests/host/support/xvfb_server_posix.h"

namespace veyra {
namespace {

struct Received {
  std::uint8_t type = 0;     // XCB_BUTTON_PRESS, XCB_KEY_RELEASE, ...
  std::uint32_t detail = 0;  // the button, or the key's keysym
  std::int16_t x = 0;
  std::int16_t y = 0;

  bool operator==(const Received&) const = default;
};

void PrintTo(const Received& r, std::ostream* out) {
  *out << "{" << int{r.type} << ", " << r.detail << ", " << r.x << ", " << r.y << "}";
}

// Records button and key events on a window over the whole screen.
class Recorder {
 public:
  explicit Recorder(X11TestClient& client) : client_(client) {
    xcb_connection_t* c = client.connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    window_ = xcb_generate_id(c);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                           XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, window_);
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
    ReadMapping();
    client.Sync();
  }

  // The keysyms of |keycode| in the server's keyboard mapping.
  std::vector<xcb_keysym_t> KeysymsOf(std::uint8_t keycode) const {
    const auto first =
        keysyms_.begin() + static_cast<std::ptrdiff_t>(keycode - minKeycode_) * perKeycode_;
    return {first, first + perKeycode_};
  }
  // The first keycode whose unshifted keysym is |keysym|, or 0.
  std::uint8_t KeycodeOf(xcb_keysym_t keysym) const {
    for (std::size_t i = 0; i < keysyms_.size(); i += perKeycode_) {
      if (keysyms_[i] == keysym) return static_cast<std::uint8_t>(minKeycode_ + i / perKeycode_);
    }
    return 0;
  }

  // Waits (bounded) until |count| events came, then returns them all.
  std::vector<Received> Take(std::size_t count) {
    xcb_connection_t* c = client_.connection();
    for (int round = 0; round < 100 && events_.size() < count; ++round) {
      pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
      poll(&fd, 1, 20);
      Drain();
    }
    client_.Sync();
    Drain();
    return std::exchange(events_, {});
  }

 private:
  void ReadMapping() {
    xcb_connection_t* c = client_.connection();
    const xcb_setup_t* setup = xcb_get_setup(c);
    const XcbReply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        c,
        xcb_get_keyboard_mapping(
            c, setup->min_keycode,
            static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
        nullptr));
    minKeycode_ = setup->min_keycode;
    perKeycode_ = mapping->keysyms_per_keycode;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    keysyms_.assign(keysyms, keysyms + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
  }

  void Drain() {
    while (const XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(client_.connection())}) {
      const std::uint8_t type = event->response_type & 0x7F;
      if (type == XCB_MAPPING_NOTIFY) {
        ReadMapping();
      } else if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
        const auto* button = reinterpret_cast<const xcb_button_press_event_t*>(event.get());
        events_.push_back({type, button->detail, button->root_x, button->root_y});
      } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
        events_.push_back(
            {type, keysyms_[static_cast<std::size_t>(key->detail - minKeycode_) * perKeycode_], 0,
             0});
      }
    }
  }

  X11TestClient& client_;
  xcb_window_t window_ = 0;
  std::uint8_t minKeycode_ = 0;
  std::uint8_t perKeycode_ = 0;
  std::vector<xcb_keysym_t> keysyms_;
  std::vector<Received> events_;
};

class X11InputTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = std::make_unique<XvfbServer>("1000x500x24"); }
  static void TearDownTestSuite() { server_.reset(); }

  X11InputTest() {
    client_.AddMonitor("LEFT", 0, 0, 600, 500);
    client_.AddMonitor("RIGHT", 600, 0, 400, 500);
  }

  static std::unique_ptr<XvfbServer> server_;
  ScopedDisplayVariable display_{server_->display()};
  X11TestClient client_{server_->display()};
  Recorder recorder_{client_};
  InputInjector injector_{std::make_unique<X11DisplayLayout>(), std::make_unique<X11InputSink>()};
};

std::unique_ptr<XvfbServer> X11InputTest::server_;

// Gives one key the single keysym |keysym| for as long as it lives, then
// its own keysyms back; the server tells every client of both changes.
class ScopedKeysym {
 public:
  ScopedKeysym(X11TestClient& client, const Recorder& recorder, std::uint8_t keycode,
               xcb_keysym_t keysym)
      : client_(client), keycode_(keycode), saved_(recorder.KeysymsOf(keycode)) {
    std::vector<xcb_keysym_t> row(saved_.size(), XCB_NO_SYMBOL);
    row[0] = keysym;
    Set(row);
  }
  ~ScopedKeysym() { Set(saved_); }
  ScopedKeysym(const ScopedKeysym&) = delete;
  ScopedKeysym& operator=(const ScopedKeysym&) = delete;

 private:
  void Set(const std::vector<xcb_keysym_t>& row) {
    xcb_change_keyboard_mapping(client_.connection(), 1, keycode_,
                                static_cast<std::uint8_t>(row.size()), row.data());
    client_.Sync();
  }

  X11TestClient& client_;
  std::uint8_t keycode_;
  std::vector<xcb_keysym_t> saved_;
};

constexpr std::uint8_t kPress = XCB_BUTTON_PRESS;
constexpr std::uint8_t kRelease = XCB_BUTTON_RELEASE;

TEST_F(X11InputTest, TouchesPressTheButtonAtTheMappedPixelOfTheStreamedMonitor) {
  ASSERT_TRUE(injector_.FindMonitor(L"RIGHT"));
  injector_.Touch(InputInjector::kTouchDown, 0.5F, 0.5F, 0);
  injector_.Touch(InputInjector::kTouchUp, 0.5F, 0.5F, 0);
  ASSERT_TRUE(injector_.FindMonitor(L"left"));
  injector_.Touch(InputInjector::kTouchDown, 0.25F, 1.0F, InputInjector::kSecondaryButton);
  injector_.Touch(InputInjector::kTouchUp, 0.25F, 1.0F, InputInjector::kSecondaryButton);
  EXPECT_EQ(recorder_.Take(4), (std::vector<Received>{{kPress, 1, 800, 250},
                                                      {kRelease, 1, 800, 250},
                                                      {kPress, 3, 150, 499},
                                                      {kRelease, 3, 150, 499}}));
}

TEST_F(X11InputTest, ScrollsBecomeWheelButtonsANotchPer100Pixels) {
  ASSERT_TRUE(injector_.FindMonitor(L"LEFT"));
  injector_.Scroll(0.0F, 0.6F, 0.5F, 0.5F);   // 300 px: three notches up
  injector_.Scroll(-0.5F, 0.0F, 0.5F, 0.5F);  // 300 px: three notches right
  injector_.Scroll(0.0F, -0.1F, 0.5F, 0.5F);  // 50 px: half a notch, kept
  injector_.Scroll(0.0F, -0.1F, 0.5F, 0.5F);  // and the other half: one down
  std::vector<std::uint32_t> pressed;
  for (const Received& r : recorder_.Take(14)) {
    if (r.type == kPress) pressed.push_back(r.detail);
  }
  EXPECT_EQ(pressed, (std::vector<std::uint32_t>{4, 4, 4, 7, 7, 7, 5}));
}

TEST_F(X11InputTest, KeyUsagesArriveAsTheirKeysymsAndUnknownOnesAreDropped) {
  ASSERT_TRUE(injector_.FindMonitor(L"LEFT"));
  for (const std::uint32_t usage : {225u, 4u, 29u, 30u, 39u, 0x54u, 40u}) {
    injector_.Key(usage, 0);
    injector_.Key(usage, InputInjector::kKeyReleased);
  }
  std::vector<std::uint32_t> pressed;
  std::vector<std::uint32_t> released;
  for (const Received& r : recorder_.Take(12)) {
    (r.type == XCB_KEY_PRESS ? pressed : released).push_back(r.detail);
  }
  const std::vector<std::uint32_t> expected = {XK_Shift_L, XK_a, XK_z, XK_1, XK_0, XK_Return};
  EXPECT_EQ(pressed, expected);
  EXPECT_EQ(released, expected);
}

TEST_F(X11InputTest, RightAltIsAltGrWhereTheLayoutMakesItSoAndAltElsewhere) {
  ASSERT_TRUE(injector_.FindMonitor(L"LEFT"));
  const auto pressRightAlt = [this] {
    injector_.Key(0xE6, 0);
    injector_.Key(0xE6, InputInjector::kKeyReleased);
    return recorder_.Take(2);
  };
  // Xvfb's us keymap carries ISO_Level3_Shift as well, on an extra key; its
  // Right Alt is Alt all the same.
  EXPECT_EQ(pressRightAlt(), (std::vector<Received>{{XCB_KEY_PRESS, XK_Alt_R, 0, 0},
                                                    {XCB_KEY_RELEASE, XK_Alt_R, 0, 0}}));

  // Right Alt's key turned into AltGr, as layouts with AltGr have it: no
  // key carries Alt_R any more. The sink learns of the new mapping.
  const std::uint8_t rightAlt = recorder_.KeycodeOf(XK_Alt_R);
  ASSERT_NE(rightAlt, 0);
  const ScopedKeysym altGr(client_, recorder_, rightAlt, XK_ISO_Level3_Shift);
  EXPECT_EQ(pressRightAlt(), (std::vector<Received>{{XCB_KEY_PRESS, XK_ISO_Level3_Shift, 0, 0},
                                                    {XCB_KEY_RELEASE, XK_ISO_Level3_Shift, 0, 0}}));
}

TEST_F(X11InputTest, WithoutADisplayInputIsDroppedAndTheLayoutHasNoMonitors) {
  std::string log;
  const RecordingLogSink sink(&log);
  const ScopedDisplayVariable none("");
  InputInjector injector(std::make_unique<X11DisplayLayout>(), std::make_unique<X11InputSink>());
  EXPECT_FALSE(injector.FindMonitor(L"screen"));
  injector.Touch(InputInjector::kTouchDown, 0.5F, 0.5F, 0);
  injector.Touch(InputInjector::kTouchUp, 0.5F, 0.5F, 0);
  injector.Key(4, 0);
  EXPECT_NE(log.find("input: no X display (DISPLAY is not set)"), std::string::npos);
  EXPECT_TRUE(recorder_.Take(0).empty());
}

TEST(X11InputMappingTest, AbsoluteCoordinatesComeBackToTheirPixelAndKeysCoverTheTable) {
  EXPECT_EQ(PixelForAbsolute(0, 1000), 0);
  EXPECT_EQ(PixelForAbsolute(65535, 1000), 999);
  EXPECT_EQ(PixelForAbsolute(70000, 1000), 999);
  EXPECT_EQ(PixelForAbsolute(-5, 1000), 0);
  EXPECT_EQ(PixelForAbsolute(100, 0), 0);
  EXPECT_EQ(KeysymForVirtualKey('Q'), std::uint32_t{XK_q});
  EXPECT_EQ(KeysymForVirtualKey(123), std::uint32_t{XK_F12});
  EXPECT_EQ(KeysymForVirtualKey(165), std::uint32_t{XK_Alt_R});
  EXPECT_EQ(KeysymForVirtualKey(0), 0u);
  EXPECT_EQ(KeysymForVirtualKey(255), 0u);
}

}  // namespace
}  // namespace veyra
