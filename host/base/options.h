#pragma once

#include <cstdint>
#include <string>

namespace veyra {

inline constexpr const char* kHostVersion = "0.1.0";
inline constexpr std::uint16_t kDefaultPort = 47820;
inline constexpr const char* kHostMutexName = "Local\\Veyra.Host.v1";

// The host's parsed command line, copied into the session when it runs.
struct Options {
  std::string host;                   // receiver name or address
  std::uint16_t port = kDefaultPort;  // receiver TCP port
  std::int32_t outputIndex = 0;       // monitor to mirror and to aim input at
  std::int32_t fps = 60;              // target frame rate
  std::int32_t bitrate = 12000000;    // encoder bits per second
  std::int32_t gop = 120;             // keyframe interval in frames
  std::uint32_t width = 0;            // forced stream width, 0: from DEVICE_INFO
  std::uint32_t height = 0;           // forced stream height, 0: from DEVICE_INFO
  bool preferHardware = true;         // a hardware encoder may be used
  bool injectInput = true;            // receiver input reaches Windows
  std::uint32_t reconnectWindowMs = 8000;
  std::string source = "dd";  // "dd", "synthetic" or "noise"
  bool useTls = true;
  bool serve = false;  // listen for the phone's browser instead of connecting out
};

}  // namespace veyra
