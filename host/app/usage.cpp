#include <string>

#include "host/app/command_line.h"

namespace veyra {

std::string UsageText(const CommandLineExtras& extras) {
  const std::string port = std::to_string(kDefaultPort);
  std::string text;
  text += "Veyra Windows host " + std::string(kHostVersion) + "\n";
  text += "\n";
  text += "Usage: veyra-host [options]\n";
  text += "\n";
  text += "Connection (the Android receiver listens; this host connects out):\n";
  text += "  --host <addr>        receiver address; required unless --discover finds one\n";
  text += "  --port <n>           receiver port (default " + port + ")\n";
  text += "  --discover           browse _veyra._tcp and use the first result\n";
  text += "  --list               list discovered receivers and exit\n";
  text += "\n";
  text += "  For USB, forward the port and connect to localhost (SDD 8.2):\n";
  text += "      adb forward tcp:" + port + " tcp:" + port + "\n";
  text += "      veyra-host --host 127.0.0.1\n";
  text += "\n";
  text += "Capture and encode:\n";
  text += "  --source <kind>      dd (Desktop Duplication, default) or synthetic\n";
  text += "                       dd mirrors an existing monitor; synthetic generates\n";
  text += "                       paced frames for pipeline diagnostics\n";
  text += "  --output <n>         monitor index to mirror (default 0)\n";
  text += "  --fps <n>            target frame rate (default 60)\n";
  text += "  --bitrate <kbps>     encoder bitrate (default 12000)\n";
  text += "  --gop <n>            keyframe interval in frames (default 120)\n";
  text += "  --size <WxH>         force stream size; default derives from DEVICE_INFO\n";
  text += "  --software           force the software encoder\n";
  text += "\n";
  text += "Pairing (the device asks once, the first time this PC connects):\n";
  text += "  --name <text>        name shown on the device's prompt (default: computer name)\n";
  text += "  --pairings           list devices that have approved this PC, then exit\n";
  text += "  --forget <deviceId>  drop one pairing so the device asks again\n";
  text += "  --forget-all         drop every pairing\n";
  text += "\n";
  text += "Other:\n";
  text += "  --no-tls             connect in plaintext; only for the mock receiver\n";
  text += "                       (a real receiver refuses, WIRE.md 11)\n";
  text += "  --no-input           receive input but do not inject it\n";
  text += "  --verbose            debug logging\n";
  text += "  --log <path>         write the log to a file instead of stderr; the tray\n";
  text += "                       uses this so a windowless session leaves a record\n";
  text += "  --probe              report encoder and capture capabilities, then exit\n";
  text += "  --version            print the host version and exit\n";
  text += "  --help\n";
  text += "\n";
  text += "The phone's browser (no app to install):\n";
  text += "  --serve              listen for the phone's browser instead of connecting\n";
  text += "                       out; prints the page's address to open on the phone\n";
  text += "  --port <n>           with --serve, the port to listen on (default " + port + ")\n";
  if (extras.noiseSource) {
    text += "\n";
    text += "This build also has:\n";
    text += "  --source noise       a band of noise at the bit rate, for link benchmarks\n";
  }
  return text;
}

}  // namespace veyra
