// The graphics context's choices against fake DXGI adapter lists that
// behave as DXGI documents them: which adapter gets the devices, where a
// monitor another adapter cannot duplicate is opened, what a lost device
// is; devices stay Wine's real ones.
#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/graphics_devices_win.h"
#include "tests/host/capture/fake_dxgi_win.h"
#include "tests/host/support/logged_test.h"

namespace veyra {
namespace {

using Microsoft::WRL::ComPtr;
using testing::FakeAdapter;
using testing::FakeAdapterSpec;
using testing::FakeDeviceCalls;
using testing::FakeGraphicsPlatform;
using testing::FakeOutputRecord;
using testing::LoggedTest;
using testing::MakeCom;

using GraphicsContextFakeTest = LoggedTest;

TEST_F(GraphicsContextFakeTest, OnlyASoftwareAdapterIsNoSuitableAdapter) {
  FakeAdapterSpec basic;
  basic.description = L"Microsoft Basic Render Driver";
  basic.flags = DXGI_ADAPTER_FLAG_SOFTWARE;
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform({MakeCom<FakeAdapter>(basic)}, &calls);
  GraphicsContext graphics(&platform);
  EXPECT_EQ(graphics.Init(0), status::kDxgiErrorNotFound);
  EXPECT_TRUE(Logged("ERROR no suitable DXGI adapter found\n")) << log_;
  EXPECT_TRUE(calls.calls.empty());
  EXPECT_FALSE(graphics.initialised());
}

TEST_F(GraphicsContextFakeTest, ZeroTakesTheFirstHardwareAdapterAndALuidItsOwn) {
  FakeAdapterSpec software{L"Software", DXGI_ADAPTER_FLAG_SOFTWARE, {1, 0}, {}};
  FakeAdapterSpec first{L"First GPU", 0, {2, 0}, {}};
  FakeAdapterSpec second{L"Second GPU", 0, {3, 1}, {}};
  const auto adapters = std::vector<ComPtr<FakeAdapter>>{
      MakeCom<FakeAdapter>(software), MakeCom<FakeAdapter>(first), MakeCom<FakeAdapter>(second)};
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform(adapters, &calls);
  {
    GraphicsContext graphics(&platform);
    ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
    EXPECT_EQ(graphics.adapterName(), "First GPU");
    EXPECT_EQ(graphics.adapterLuid(), 2u);
    ASSERT_EQ(calls.calls.size(), 2u);
    for (const FakeDeviceCalls::Call& call : calls.calls) {
      EXPECT_EQ(call.adapter, static_cast<IDXGIAdapter*>(adapters[1].Get()));
      EXPECT_EQ(call.driverType, D3D_DRIVER_TYPE_UNKNOWN);
      EXPECT_EQ(call.flags, 0x820u);
      EXPECT_EQ(call.levels,
                (std::vector<D3D_FEATURE_LEVEL>{D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                                D3D_FEATURE_LEVEL_10_1}));
    }
  }
  calls.calls.clear();
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init((1ull << 32) | 3u), status::kSOk) << log_;
  EXPECT_EQ(graphics.adapterName(), "Second GPU");
  EXPECT_EQ(calls.calls.front().adapter, static_cast<IDXGIAdapter*>(adapters[2].Get()));
}

TEST_F(GraphicsContextFakeTest, ChangedAdaptersAreALostDeviceUntilInitAgain) {
  bool current = true;
  FakeDeviceCalls calls;
  const GraphicsPlatform platform =
      FakeGraphicsPlatform({MakeCom<FakeAdapter>(FakeAdapterSpec{})}, &calls, &current);
  GraphicsContext graphics(&platform);
  EXPECT_FALSE(graphics.DeviceLost());  // nothing to lose yet
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_FALSE(graphics.DeviceLost());
  current = false;  // a GPU came or went
  EXPECT_TRUE(graphics.DeviceLost());
  current = true;
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_FALSE(graphics.DeviceLost());
  EXPECT_EQ(calls.calls.size(), 4u);
}

// A hybrid laptop: the discrete GPU comes first and drives no monitor; the
// monitors are on the integrated one, where the devices must be.
TEST_F(GraphicsContextFakeTest, TheDevicesAreOnTheAdapterThatDrivesTheMonitor) {
  FakeOutputRecord panel;
  FakeOutputRecord external;
  external.deviceName = L"\\\\.\\DISPLAY5";
  FakeAdapterSpec discrete{L"Discrete GPU", 0, {7, 0}, {}};
  FakeAdapterSpec integrated{L"Integrated GPU", 0, {9, 0}, {&panel, &external}};
  const auto adapters = std::vector<ComPtr<FakeAdapter>>{MakeCom<FakeAdapter>(discrete),
                                                         MakeCom<FakeAdapter>(integrated)};
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform(adapters, &calls);
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init(0, 1), status::kSOk) << log_;
  EXPECT_EQ(graphics.adapterName(), "Integrated GPU");
  EXPECT_EQ(calls.calls.front().adapter, static_cast<IDXGIAdapter*>(adapters[1].Get()));

  DesktopDuplicationSource source(graphics, 1);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  EXPECT_EQ(source.OutputDeviceName(), L"\\\\.\\DISPLAY5");
  EXPECT_EQ(panel.duplications, 0);
  EXPECT_EQ(external.duplications, 1);
}

// A hybrid laptop set to high performance: the discrete GPU comes first
// and lists the panel but cannot duplicate it; the integrated GPU lists the
// same monitor and can. The devices move there; a monitor every adapter
// refuses is tried once on each a call.
TEST_F(GraphicsContextFakeTest, AMonitorOneAdapterCannotDuplicateOpensOnAnotherThatShowsIt) {
  const auto panel = reinterpret_cast<HMONITOR>(std::uintptr_t{0x51});
  FakeOutputRecord discretePanel;
  discretePanel.monitor = panel;
  discretePanel.duplicateResult = DXGI_ERROR_UNSUPPORTED;
  FakeOutputRecord integratedPanel;
  integratedPanel.monitor = panel;
  FakeOutputRecord external;
  external.monitor = reinterpret_cast<HMONITOR>(std::uintptr_t{0x52});
  external.deviceName = L"\\\\.\\DISPLAY5";
  FakeAdapterSpec discrete{L"Discrete GPU", 0, {7, 0}, {&discretePanel}};
  FakeAdapterSpec integrated{L"Integrated GPU", 0, {9, 0}, {&integratedPanel, &external}};
  const auto adapters = std::vector<ComPtr<FakeAdapter>>{MakeCom<FakeAdapter>(discrete),
                                                         MakeCom<FakeAdapter>(integrated)};
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform(adapters, &calls);
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init(0, 0), status::kSOk) << log_;
  EXPECT_EQ(graphics.adapterName(), "Discrete GPU");
  {
    DesktopDuplicationSource source(graphics, 0);
    ASSERT_EQ(graphics.OpenSource(source), status::kSOk) << log_;
    EXPECT_EQ(graphics.adapterName(), "Integrated GPU");
    EXPECT_EQ(calls.calls.back().adapter, static_cast<IDXGIAdapter*>(adapters[1].Get()));
    EXPECT_EQ(discretePanel.attempts, 1);
    EXPECT_EQ(integratedPanel.duplications, 1);
    EXPECT_TRUE(
        Logged("INFO  capturing monitor 0 on Integrated GPU: Discrete GPU cannot "
               "duplicate it\n"))
        << log_;
    // The panel counts once: the external monitor is monitor 1.
    DesktopDuplicationSource second(graphics, 1);
    ASSERT_EQ(second.Open(), status::kSOk) << log_;
    EXPECT_EQ(second.OutputDeviceName(), L"\\\\.\\DISPLAY5");
  }

  integratedPanel.duplicateResult = DXGI_ERROR_UNSUPPORTED;
  ASSERT_EQ(graphics.Init(0, 0), status::kSOk) << log_;
  DesktopDuplicationSource source(graphics, 0);
  EXPECT_EQ(graphics.OpenSource(source), status::kDxgiErrorUnsupported);
  EXPECT_EQ(discretePanel.attempts, 2);
  EXPECT_EQ(integratedPanel.attempts, 2);
  // Asked again (the session's retry), a new round starts where that one
  // ended: a mode change that lets the first adapter duplicate is found.
  discretePanel.duplicateResult = S_OK;
  EXPECT_EQ(graphics.OpenSource(source), status::kSOk);
  EXPECT_EQ(integratedPanel.attempts, 3);
  EXPECT_EQ(discretePanel.attempts, 3);
  EXPECT_EQ(graphics.adapterName(), "Discrete GPU");
}

TEST_F(GraphicsContextFakeTest, FeatureLevel10_1IsAccepted) {
  FakeDeviceCalls calls;
  calls.onlyLevel = D3D_FEATURE_LEVEL_10_1;
  const GraphicsPlatform platform =
      FakeGraphicsPlatform({MakeCom<FakeAdapter>(FakeAdapterSpec{})}, &calls);
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_TRUE(Logged("DEBUG   capture device: feature level 0xA100\n")) << log_;
  EXPECT_TRUE(Logged("DEBUG   encoder device: feature level 0xA100\n")) << log_;
}

TEST_F(GraphicsContextFakeTest, AFailedEncoderDeviceKeepsTheCaptureDevice) {
  FakeDeviceCalls calls;
  calls.failAtCall = 1;
  const GraphicsPlatform platform =
      FakeGraphicsPlatform({MakeCom<FakeAdapter>(FakeAdapterSpec{})}, &calls);
  GraphicsContext graphics(&platform);
  EXPECT_EQ(graphics.Init(0), status::kEOutOfMemory);
  EXPECT_TRUE(Logged("ERROR D3D11CreateDevice failed: 0x8007000E")) << log_;
  EXPECT_TRUE(Logged("ERROR encoder device failed: 0x8007000E")) << log_;
  EXPECT_FALSE(Logged("separate capture and encoder devices"));
  ASSERT_NE(graphics.devices(), nullptr);
  EXPECT_TRUE(graphics.devices()->captureDevice);
  EXPECT_FALSE(graphics.devices()->encoderDevice);

  // Initialised again, the context replaces the devices and completes.
  calls.failAtCall = -1;
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_TRUE(graphics.devices()->encoderDevice);
}

}  // namespace
}  // namespace veyra
