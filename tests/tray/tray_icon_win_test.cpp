// Runs under Wine: the tray's icons are its own to destroy, and greying
// reads and writes the pixels as the portable arithmetic says.
#include "tray/tray_icon_win.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "tray/grey_icon.h"

namespace veyra {
namespace {

constexpr int kSize = 16;

// A 32-bit icon filled with one B, G, R, A value.
ScopedIcon SolidIcon(std::array<std::uint8_t, 4> bgra) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = kSize;
  info.bmiHeader.biHeight = -kSize;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  auto* pixels = static_cast<std::uint8_t*>(bits);
  for (int i = 0; i < kSize * kSize; ++i) {
    std::memcpy(pixels + i * 4, bgra.data(), 4);
  }
  std::vector<std::uint8_t> maskBits(kSize * kSize / 8, 0);
  HBITMAP mask = CreateBitmap(kSize, kSize, 1, 1, maskBits.data());
  ICONINFO icon{};
  icon.fIcon = TRUE;
  icon.hbmColor = colour;
  icon.hbmMask = mask;
  ScopedIcon result(CreateIconIndirect(&icon));
  DeleteObject(colour);
  DeleteObject(mask);
  return result;
}

std::array<std::uint8_t, 4> FirstPixel(HICON icon) {
  ICONINFO info{};
  EXPECT_TRUE(GetIconInfo(icon, &info));
  BITMAPINFO header{};
  header.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  header.bmiHeader.biWidth = kSize;
  header.bmiHeader.biHeight = -kSize;
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = 32;
  header.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint8_t> pixels(kSize * kSize * 4);
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, info.hbmColor, 0, kSize, pixels.data(), &header, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return {pixels[0], pixels[1], pixels[2], pixels[3]};
}

TEST(TrayIconUnderWineTest, WithoutTheResourceTheFallbackIsACopyOfTheSharedIcon) {
  // This test program has no IDI_TRAY resource.
  const HICON shared = LoadIconW(nullptr, IDI_APPLICATION);
  ASSERT_NE(shared, nullptr);
  for (bool attached : {true, false}) {
    ScopedIcon icon = LoadTrayIcon(GetModuleHandleW(nullptr), attached);
    ASSERT_NE(icon.Get(), nullptr);
    EXPECT_NE(icon.Get(), shared);
    EXPECT_TRUE(DestroyIcon(icon.Take()));
  }
  // The shared icon survived both destructions.
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(LoadIconW(nullptr, IDI_APPLICATION), &info));
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
}

TEST(TrayIconUnderWineTest, GreyCopyHasTheGreyedPixelsAndLeavesTheOriginal) {
  const std::array<std::uint8_t, 4> orange = {0x20, 0x80, 0xF0, 0xFF};
  ScopedIcon colour = SolidIcon(orange);
  ASSERT_NE(colour.Get(), nullptr);
  ScopedIcon grey = MakeGreyIcon(colour.Get(), kSize);
  ASSERT_NE(grey.Get(), nullptr);
  std::array<std::uint8_t, 4> expected = orange;
  GreyPixels(expected);
  EXPECT_EQ(FirstPixel(grey.Get()), expected);
  EXPECT_EQ(FirstPixel(colour.Get()), orange);
}

TEST(TrayIconUnderWineTest, GreyingANonIconFails) {
  EXPECT_EQ(MakeGreyIcon(nullptr, kSize).Get(), nullptr);
  ScopedIcon colour = SolidIcon({1, 2, 3, 4});
  EXPECT_EQ(MakeGreyIcon(colour.Get(), 0).Get(), nullptr);
}

}  // namespace
}  // namespace veyra
