// The X11 capture against private Xvfb servers: what is drawn arrives where
// and as it was drawn, with the pointer on it; a still screen gives no
// frames; --output follows RandR; a missing, resized or vanished display
// ends in the statuses the session recovers from, and a frozen one fails
// the capture instead of holding it.

#include <gtest/gtest.h>
#include <xcb/xfixes.h>

#include <memory>
#include <string>

#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/base/x11_display_posix.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/texture_storage_posix.h"
#include "host/capture/x11_screen_capture_posix.h"
#include "tests/host/support/x11_test_client_posix.h"
#include "tests/host/support/xvfb_server_posix.h"

namespace veyra {
namespace {

constexpr std::uint32_t kBackground = 0x203040;

// The pixel as 0xRRGGBB.
std::uint32_t RgbAt(const Texture& texture, std::uint32_t x, std::uint32_t y) {
  const TextureStorage& storage = StorageOf(texture);
  const std::uint8_t* p =
      storage.bytes.data() + std::size_t{y} * storage.pitch + std::size_t{x} * 4;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

// Pixels of the square of |side| around (x, y) that differ from |rgb|.
int PixelsOtherThan(std::uint32_t rgb, const Texture& texture, std::uint32_t x, std::uint32_t y,
                    std::uint32_t side) {
  int count = 0;
  for (std::uint32_t row = y - side / 2; row < y + side / 2; ++row) {
    for (std::uint32_t column = x - side / 2; column < x + side / 2; ++column) {
      count += RgbAt(texture, column, row) != rgb ? 1 : 0;
    }
  }
  return count;
}

class X11CaptureTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = std::make_unique<XvfbServer>(); }
  static void TearDownTestSuite() { server_.reset(); }

  X11CaptureTest() {
    EXPECT_EQ(graphics_.Init(0), status::kSOk);
    client_.Fill(kBackground, 0, 0, 800, 600);
  }

  // Acquires until a picture (or a failure) comes, a bounded number of times.
  static std::int32_t AcquireNew(DesktopDuplicationSource& source, CapturedFrame* frame) {
    for (int i = 0; i < 50; ++i) {
      const std::int32_t result = source.AcquireFrame(frame, 20);
      source.ReleaseFrame();
      if (result != status::kSFalse) return result;
    }
    return status::kSFalse;
  }

  static std::unique_ptr<XvfbServer> server_;
  ScopedDisplayVariable display_{server_->display()};
  X11TestClient client_{server_->display()};
  std::string log_;
  RecordingLogSink sink_{&log_};
  GraphicsContext graphics_;
  CapturedFrame frame_;
};

std::unique_ptr<XvfbServer> X11CaptureTest::server_;

TEST_F(X11CaptureTest, DrawnRegionsAndThePointerArriveInPlace) {
  ASSERT_FALSE(server_->display().empty());
  client_.Fill(0xFF0000, 10, 20, 100, 50);
  client_.Fill(0x00FF00, 700, 500, 100, 100);
  client_.Warp(400, 300);
  DesktopDuplicationSource source(graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_STREQ(source.Name(), "x11");
  EXPECT_EQ(source.OutputDeviceName(), L"screen");
  EXPECT_EQ(source.Width(), 800u);
  EXPECT_EQ(source.Height(), 600u);
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  ASSERT_EQ(frame_.width, 800u);
  EXPECT_EQ(RgbAt(frame_.texture, 10, 20), 0xFF0000u);
  EXPECT_EQ(RgbAt(frame_.texture, 109, 69), 0xFF0000u);
  EXPECT_EQ(RgbAt(frame_.texture, 110, 69), kBackground);
  EXPECT_EQ(RgbAt(frame_.texture, 109, 70), kBackground);
  EXPECT_EQ(RgbAt(frame_.texture, 799, 599), 0x00FF00u);
  EXPECT_EQ(RgbAt(frame_.texture, 0, 0), kBackground);

  // The pointer's opaque pixels sit around its position, offset by its hot
  // spot; its transparent ones leave the desktop as it was.
  xcb_connection_t* c = client_.connection();
  const XcbReply<xcb_xfixes_query_version_reply_t> version(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  const XcbReply<xcb_xfixes_get_cursor_image_reply_t> cursor(
      xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  ASSERT_TRUE(cursor);
  const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
  int opaque = 0;
  int clear = 0;
  for (std::uint32_t row = 0; row < cursor->height; ++row) {
    for (std::uint32_t column = 0; column < cursor->width; ++column) {
      const std::uint32_t pixel = argb[row * cursor->width + column];
      const std::uint32_t x = 400 - cursor->xhot + column;
      const std::uint32_t y = 300 - cursor->yhot + row;
      if (pixel >> 24 == 0xFF) {
        EXPECT_EQ(RgbAt(frame_.texture, x, y), pixel & 0xFFFFFF) << x << "," << y;
        ++opaque;
      } else if (pixel >> 24 == 0) {
        EXPECT_EQ(RgbAt(frame_.texture, x, y), kBackground) << x << "," << y;
        ++clear;
      }
    }
  }
  EXPECT_GT(opaque, 10);
  EXPECT_GT(clear, 10);
}

TEST_F(X11CaptureTest, StillScreenGivesNoFrameUntilItOrThePointerChanges) {
  client_.Warp(50, 50);
  DesktopDuplicationSource source(graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kSFalse) << i;
  }
  client_.Fill(0x0000FF, 300, 200, 50, 50);
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  EXPECT_EQ(RgbAt(frame_.texture, 320, 220), 0x0000FFu);
  EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kSFalse);

  // Only the pointer moves: a new picture all the same, since it carries
  // the pointer.
  client_.Warp(600, 100);
  EXPECT_EQ(AcquireNew(source, &frame_), status::kSOk);
  EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kSFalse);
}

TEST_F(X11CaptureTest, APointerThatShowsNothingIsNotDrawnNorItsMotionAFrame) {
  client_.Warp(400, 300);
  DesktopDuplicationSource source(graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk);
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  EXPECT_GT(PixelsOtherThan(kBackground, frame_.texture, 400, 300, 64), 10);

  // Hidden as clients hide it, under a cursor without a visible pixel.
  // (XFixes' HideCursor leaves nothing another client can see: the server
  // goes on reporting the same image, serial and position.)
  client_.CoverWithBlankPointer();
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  EXPECT_EQ(PixelsOtherThan(kBackground, frame_.texture, 400, 300, 64), 0);
  client_.Warp(420, 320);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kSFalse) << i;
  }
}

TEST_F(X11CaptureTest, OutputFollowsRandrMonitorsOrIsTheWholeScreenWithoutThem) {
  {
    XvfbServer plain("640x480x24", {"-extension", "RANDR"});
    const ScopedDisplayVariable display(plain.display());
    DesktopDuplicationSource first(graphics_, 0);
    ASSERT_EQ(first.Open(), status::kSOk);
    EXPECT_EQ(first.Width(), 640u);
    EXPECT_EQ(first.Height(), 480u);
    EXPECT_EQ(first.OutputDeviceName(), L"screen");
    DesktopDuplicationSource second(graphics_, 1);
    EXPECT_EQ(second.Open(), status::kDxgiErrorNotFound);
    EXPECT_NE(sink_.Text().find("output 1 does not exist on X display"), std::string::npos);
  }

  XvfbServer dual("1000x500x24");
  const ScopedDisplayVariable display(dual.display());
  X11TestClient client(dual.display());
  client.AddMonitor("LEFT", 0, 0, 600, 500);
  client.AddMonitor("RIGHT", 600, 0, 400, 500);
  client.Fill(0xFF0000, 0, 0, 600, 500);
  client.Fill(0x00FF00, 600, 0, 400, 500);
  client.Warp(10, 10);
  X11Display reader;
  ASSERT_TRUE(reader.Open("test"));
  const std::vector<X11Monitor> monitors = reader.ReadMonitors();
  std::uint32_t right = 0;
  while (right < monitors.size() && monitors[right].name != "RIGHT") ++right;
  ASSERT_LT(right, monitors.size());
  EXPECT_EQ(monitors[right], (X11Monitor{"RIGHT", 600, 0, 400, 500}));

  DesktopDuplicationSource source(graphics_, right);
  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_EQ(source.OutputDeviceName(), L"RIGHT");
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  EXPECT_EQ(frame_.width, 400u);
  EXPECT_EQ(frame_.height, 500u);
  EXPECT_EQ(RgbAt(frame_.texture, 0, 0), 0x00FF00u);
  EXPECT_EQ(RgbAt(frame_.texture, 399, 499), 0x00FF00u);
  DesktopDuplicationSource beyond(graphics_, static_cast<std::uint32_t>(monitors.size()));
  EXPECT_EQ(beyond.Open(), status::kDxgiErrorNotFound);
}

TEST_F(X11CaptureTest, MissingResizedAndVanishedDisplaysEndInTheirStatuses) {
  {
    const ScopedDisplayVariable none("");
    DesktopDuplicationSource source(graphics_, 0);
    EXPECT_EQ(source.Open(), status::kEFail);
    EXPECT_NE(sink_.Text().find("capture: no X display (DISPLAY is not set)"), std::string::npos);
    EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kInvalidStateHresult);
  }

  auto own = std::make_unique<XvfbServer>();
  const ScopedDisplayVariable display(own->display());
  {
    X11TestClient client(own->display());
    DesktopDuplicationSource source(graphics_, 0);
    ASSERT_EQ(source.Open(), status::kSOk);
    ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
    // A smaller screen comes out as a frame of the new size, which the
    // capture loop takes for a size change.
    client.SetScreenSize(640, 480);
    ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
    EXPECT_EQ(frame_.width, 640u);
    EXPECT_EQ(frame_.height, 480u);
  }

  DesktopDuplicationSource source(graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_EQ(source.Width(), 640u);
  ASSERT_EQ(AcquireNew(source, &frame_), status::kSOk);
  own->Stop();
  EXPECT_EQ(AcquireNew(source, &frame_), status::kDxgiErrorAccessLost);
  EXPECT_NE(sink_.Text().find("went away"), std::string::npos);
  EXPECT_EQ(source.AcquireFrame(&frame_, 10), status::kInvalidStateHresult);
  EXPECT_EQ(source.Open(), status::kEFail);
}

TEST_F(X11CaptureTest, AFrozenServerFailsTheCaptureInsteadOfHoldingIt) {
  XvfbServer own;
  ASSERT_FALSE(own.display().empty());
  const ScopedDisplayVariable display(own.display());
  const std::string noAnswer =
      "capture: X display " + own.display() + " did not answer within 200 ms";
  // A short bound keeps the test quick; what counts is that calls return.
  X11ScreenCapture capture(graphics_, 200);
  ASSERT_EQ(capture.Open(0), status::kSOk);
  Texture texture;
  ASSERT_EQ(capture.Acquire(&texture, 0), status::kSOk);

  // Stopped, the server leaves the next request unanswered: the capture
  // fails and closes.
  ASSERT_TRUE(own.Freeze());
  EXPECT_EQ(capture.Acquire(&texture, 0), status::kEFail);
  EXPECT_NE(sink_.Text().find(noAnswer + "; giving up on it"), std::string::npos);
  EXPECT_EQ(capture.Acquire(&texture, 0), status::kInvalidStateHresult);
  // The stopped server still takes connections but never answers their
  // setup: opening fails too.
  EXPECT_EQ(capture.Open(0), status::kEFail);
  EXPECT_NE(sink_.Text().find(noAnswer + "\n"), std::string::npos);

  own.Thaw();
  EXPECT_EQ(capture.Open(0), status::kSOk);
}

TEST(X11PointerShapeTest, PremultipliedArgbBecomesStraightBgra) {
  // Half-covered blue-ish, fully transparent with stray colour bits, opaque.
  const std::uint32_t argb[] = {0x80402010, 0x00FFFFFF, 0xFF102030};
  const PointerShape shape = ColorShapeFromPremultiplied(argb, 3, 1);
  EXPECT_EQ(shape.kind, PointerShapeKind::kColor);
  EXPECT_EQ(shape.pitch, 12u);
  EXPECT_EQ(shape.pixels,
            (std::vector<std::uint8_t>{32, 64, 128, 128, 0, 0, 0, 0, 0x30, 0x20, 0x10, 0xFF}));
}

}  // namespace
}  // namespace veyra
