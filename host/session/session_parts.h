#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/base/options.h"
#include "host/base/serve_report.h"
#include "host/capture/capture_source.h"
#include "host/capture/graphics_context.h"
#include "host/input/display_layout.h"
#include "host/input/input_sink.h"
#include "host/net/connection.h"
#include "host/pairing/store_files.h"
#include "host/serve/browser_links.h"
#include "host/session/receiver_approver.h"
#include "host/session/send_gate.h"
#include "host/video/conversion_engine.h"
#include "host/video/encoder_backend.h"

namespace veyra {

// What a Session is built from. Every empty member means this build's own
// part, which is what the host uses; tests replace single parts.
struct SessionParts {
  using SourceFactory =
      std::function<std::unique_ptr<ICaptureSource>(GraphicsContext&, const Options&)>;

  // Makes each pipeline's capture source; empty: the kind the options name.
  SourceFactory makeSource;
  std::unique_ptr<ConversionEngine> conversionEngine;
  std::unique_ptr<EncoderBackend> encoderBackend;
  Connection::TlsFactory tlsFactory;
  std::unique_ptr<DisplayLayout> displayLayout;
  std::unique_ptr<InputSink> inputSink;
  // The pairing store's file; empty: the standard location.
  std::string pairingPath;
  // nullptr: the platform's files.
  StoreFiles* storeFiles = nullptr;
  // What the capture loop asks before it encodes a picture; it must outlive
  // the session. nullptr: the session's own send window.
  SendGate* sendGate = nullptr;
  // Browsers the page server admitted; it must outlive the session.
  // nullptr: the session connects out to the receiver the options name.
  BrowserLinks* browsers = nullptr;
  // Told where the receiver stands: asked about, streaming, refused, gone,
  // and, between browsers, waiting. Called on the session's threads with
  // its pipeline lock possibly held, so it may take only leaf locks; empty:
  // nobody is told.
  std::function<void(ServePhase, const std::string& phone)> onPhase;
  // Asks this PC's user about receivers that are not trusted yet.
  std::unique_ptr<ReceiverApprover> approver;
  // How long the user has to answer; 0: Session::kApprovalTimeoutUs.
  std::uint64_t approvalTimeoutUs = 0;
  // How long a question about another device than the last one waits;
  // 0: Session::kDifferentDeviceDelayUs.
  std::uint64_t differentDeviceDelayUs = 0;
};

// The capture source the options ask for: the synthetic pattern or the
// noise band (1920 x 1200 at 60 frames a second unless --size and --fps say
// otherwise), or the mirror of monitor outputIndex.
std::unique_ptr<ICaptureSource> MakeCaptureSource(GraphicsContext& graphics,
                                                  const Options& options);

}  // namespace veyra
