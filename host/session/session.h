#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "host/base/options.h"
#include "host/capture/capture_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/texture.h"
#include "host/input/input_injector.h"
#include "host/net/connection.h"
#include "host/pairing/pairing_store.h"
#include "host/session/approval_prompt.h"
#include "host/session/frame_timing.h"
#include "host/session/keyframe_pacer.h"
#include "host/session/rate_controller.h"
#include "host/session/receiver_approver.h"
#include "host/session/send_window.h"
#include "host/session/session_parts.h"
#include "host/session/session_state.h"
#include "host/session/streaming_stats.h"
#include "host/video/color_converter.h"
#include "host/video/video_encoder.h"
#include "host/wire/control_messages.h"
#include "host/wire/frame.h"

namespace veyra {

// The host's main job: connect to the receiver, negotiate and pair, build
// the capture -> convert -> encode -> send pipeline for it, react to its
// messages, report statistics, and reconnect when the link drops.
//
// Threads: Run on the entry's thread, once; Stop from any thread (the
// console control handler's). The connection's receive thread runs every
// message handler, pipeline starts for DEVICE_INFO included; the capture
// thread runs the capture loop; the encoder's pump thread runs
// OnEncodedFrame. Lock order: pipelineLock_ may be held while the statistics
// lock, the connection's queue lock or the injector's lock is taken, never
// the other way round; deviceInfoLock_, the timing ring's lock and the locks
// of the send window, keyframe pacer and rate controller are leaf locks;
// stopLock_ is held across Stop, over the log's, the connection's and
// (through SetState) the injector's locks, and is never taken under another
// lock; trustLock_ is held over the
// pairing store's file writes and the log's lock, never over another of the
// session's locks; deliveredLock_ is held over the rate controller's lock
// alone; the phase report (onPhase) may run under pipelineLock_
// and takes only leaf locks of its own.
//
// Trust: a receiver streams and sends input only once it is trusted (TLS,
// its pinned key, a stored token) or this PC's user allowed it. Until then
// its DEVICE_INFO is kept, PINGs go on, and nothing else happens.
class Session {
 public:
  static constexpr std::uint32_t kFirstConnectTimeoutMs = 5000;
  static constexpr std::uint32_t kReconnectTimeoutMs = 2000;
  static constexpr std::uint64_t kReconnectPauseUs = 1000000;
  static constexpr std::uint64_t kRunLoopPeriodUs = 50000;
  static constexpr std::uint64_t kPingPeriodUs = 1000000;
  static constexpr std::uint64_t kKeepaliveAfterUs = 1000000;
  static constexpr std::uint64_t kRetryPeriodUs = 2000000;
  // The most rate the encoder's level is sized for (High profile, level 5.2).
  static constexpr std::uint32_t kLevelRateLimitBps = 240000000;
  static constexpr std::uint64_t kSilentReceiverUs = 5000000;
  static constexpr std::uint64_t kStatsPeriodUs = 1000000;
  static constexpr std::uint32_t kAcquireTimeoutMs = 100;
  // The encoder's own keyframe interval, in seconds of frames.
  static constexpr std::uint32_t kLongGopSeconds = 60;
  static constexpr std::uint64_t kBackgroundPollUs = 50000;
  // Longest a received frame waits for its connection's negotiation to be
  // set up; in practice microseconds.
  static constexpr std::uint64_t kCycleGateUs = 5000000;
  // How long this PC's user has to answer; no answer is no.
  static constexpr std::uint64_t kApprovalTimeoutUs = 60000000;
  // How long after the question the receiver is told that this PC's answer
  // is awaited: longer than a receiver that refuses at once takes to say so.
  static constexpr std::uint64_t kApprovalNoticeDelayUs = 300000;
  // A question about another device than the one asked about last waits
  // this long before it is shown, so that an answer meant for the last one
  // cannot land on it.
  static constexpr std::uint64_t kDifferentDeviceDelayUs = 3000000;
  // Run's result when this PC's user refused the receiver: the process
  // exits with it, and the tray does not restart it.
  static constexpr std::int32_t kRefusedOnThisPc = 3;
  // Run's result when nobody answered this PC's question in time: not a
  // refusal, so the tray may ask again later.
  static constexpr std::int32_t kNoAnswerOnThisPc = 4;

  explicit Session(SessionParts parts = {});
  // Stops a session that still runs; Run must have returned.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Serves the receiver the options name until it stays away, either side
  // refuses the other, or Stop. 0 then, kRefusedOnThisPc when this PC's user
  // refused it; negative when the graphics devices or the first connection
  // fail.
  std::int32_t Run(const Options& options);
  void Stop();

  SessionState state() const { return state_.load(); }
  const PairingStore& pairingStore() const { return pairingStore_; }

 private:
  // Run's steps (session.cpp).
  std::int32_t Connect(std::uint32_t timeoutMs);
  void WaitForCycle();
  void NegotiationCycle();
  bool Reconnect();
  void RunLoop();
  void RunLoopPass(std::uint64_t nowUs);
  void SendPing(std::uint64_t nowUs);
  void RetryPipeline(std::uint64_t nowUs);
  void NagSilentReceiver(std::uint64_t nowUs);
  bool SleepUnlessStopped(std::uint64_t durationUs);
  void OnConnectionLost(const std::string& reason);
  void SetState(SessionState next, std::string_view reason);
  // Tells onPhase, with the receiver's model made safe to show (none while
  // waiting).
  void ReportPhase(ServePhase phase);
  void SendJson(MessageType type, const std::string& json);
  void SendEmpty(MessageType type);
  void SendError(const char* code, const char* message);

  // Negotiation and pairing (session_negotiation.cpp).
  void OnHello(const JsonValue& json);
  void OnPairAccepted(const JsonValue& json);
  void OnRefused(const ErrorInfo& error);
  void RefuseHello(const char* message);
  void StorePairingLocked(const std::string& token);

  // This PC's approval (session_approval.cpp).
  void AskThisPc(const char* why);
  void PollApproval(std::uint64_t nowUs);
  void AcceptApproval();
  void RefuseHere(const char* why, const char* message = "not allowed on this PC");
  // Re-reads the pairing store before a receiver is judged, so a phone
  // forgotten since (--forget, the tray) is not trusted any more.
  void ReloadTrustLocked();
  // Whether this message may be acted on before the receiver is allowed.
  static bool ActedOnBeforeApproval(MessageType type);

  // Message dispatch (session_messages.cpp).
  void HandleMessage(const Packet& packet);
  void Dispatch(const Packet& packet);
  void OnDeviceInfo(const JsonValue& json);
  void OnVisibility(const JsonValue& json);
  void OnPing(const Packet& packet);
  void OnPong(const Packet& packet);
  void OnSetBitrate(const JsonValue& json);
  void OnDisplayChanged(const JsonValue& json);
  void OnError(const JsonValue& json);
  bool InputAllowed() const;

  // The pipeline (session_pipeline.cpp).
  std::int32_t StartPipeline(const DeviceInfo& info);
  std::int32_t BuildPipeline(const DeviceInfo& info);
  std::int32_t RenewGraphics();
  void StopPipeline();
  void Degrade(std::string_view reason);
  void NotifyNoDisplay(const char* message);
  void OnEncodedFrame(const EncodedFrame& frame);
  void StatsTick(std::uint64_t nowUs);

  // Fitting the stream to the link (session_link.cpp).
  void OnFrameAck(const FrameAck& ack);
  bool VideoWindowOpen(std::uint64_t nowUs);
  void AdaptBitrate(std::uint64_t nowUs);
  // The bytes the link's rate and round trip allow in flight now.
  std::uint64_t WindowBytes() const;
  // Whether the periodic keyframe the options ask for is due and the link
  // has room for all of it: on a slow link a keyframe on a schedule would
  // freeze the picture for as long as it takes to send.
  bool RefreshDue(std::uint64_t nowUs);
  // What the link delivered to a receiver, kept for its next connection in
  // this run, and the start from it.
  void RememberDelivery(const std::string& deviceId);
  void ResumeDelivery(const std::string& deviceId);
  void LogLinkState();

  // The capture thread's body (capture_loop.cpp).
  void CaptureLoop(std::uint32_t sourceWidth, std::uint32_t sourceHeight);
  bool CaptureOnePass(std::uint32_t sourceWidth, std::uint32_t sourceHeight);
  void RecoverCapture(std::int32_t status, std::uint32_t width, std::uint32_t height,
                      std::uint32_t sourceWidth, std::uint32_t sourceHeight);
  // True when the encoder took the frame.
  bool PostConverted(std::size_t slot, FrameTiming& timing, std::uint64_t captureTimeUs);

  // Where this connection's receiver stands with this PC.
  enum class PeerApproval : std::uint8_t { kNone, kPending, kAllowed };

  std::int32_t AdoptBrowser(std::uint32_t timeoutMs);
  bool AwaitBrowser();

  SessionParts::SourceFactory makeSource_;
  // Set when the session serves browsers instead of connecting out.
  BrowserLinks* browsers_;
  std::function<void(ServePhase, const std::string&)> onPhase_;
  // The connected receiver's address, for this PC's question.
  std::string peerAddress_;
  Options options_;
  std::atomic<SessionState> state_{SessionState::kIdle};
  std::atomic<bool> running_{false};
  GraphicsContext graphics_;
  std::unique_ptr<ICaptureSource> source_;
  ColorConverter converter_;
  VideoEncoder encoder_;
  // The last captured frame, for re-sending a still desktop as a keyframe;
  // the capture thread's alone while a pipeline runs.
  Texture lastFrame_;
  // The receiver does not have lastFrame_ yet: the link held it back, or
  // the pictures after it were discarded. A still desktop sends it again
  // once the link has room, so the receiver is not left on an older one.
  // The capture thread's alone while a pipeline runs.
  bool pictureOwed_ = false;
  // This pipeline's log said that protected content is blacked out; the
  // capture thread's alone while a pipeline runs.
  bool protectedContentLogged_ = false;
  Connection connection_;
  InputInjector input_;
  StreamingStats stats_;
  // The video in flight, the chain of reference pictures and the bit rate:
  // each locks itself (leaf locks).
  SendWindow sendWindow_;
  // What the capture loop asks for room: sendWindow_, or the stand-in the
  // parts gave.
  const SendGate* sendGate_;
  KeyframePacer keyframes_;
  RateController rate_;
  static constexpr std::size_t kDeliveriesKept = 16;
  std::mutex deliveredLock_;                                      // guards delivered_
  std::vector<std::pair<std::string, std::uint32_t>> delivered_;  // oldest first
  SequenceCounters sequenceCounters_;
  PairingStore pairingStore_;
  std::unique_ptr<ReceiverApprover> approver_;
  ApprovalPrompt prompt_;  // asks through approver_, so is destroyed first
  std::uint64_t approvalTimeoutUs_;
  std::uint64_t differentDeviceDelayUs_;
  std::thread captureThread_;
  // Serialises starting and stopping the pipeline (source, converter,
  // encoder, capture thread, lastFrame_, videoConfig_) and bit-rate changes.
  std::mutex pipelineLock_;
  DeviceInfo deviceInfo_;
  // Guards deviceInfo_ and deviceInfoReceived_; held only while copying.
  std::mutex deviceInfoLock_;
  // A DEVICE_INFO arrived on this connection: the retry has a receiver to
  // build for, whatever screen size it reported.
  bool deviceInfoReceived_ = false;
  // Set by StartPipeline; its level is corrected on the encoder's thread
  // when the first sequence header says another (before any picture goes).
  VideoConfig videoConfig_;
  std::atomic<bool> streaming_{false};
  std::atomic<bool> permissionDenied_{false};
  std::atomic<bool> keyframeRequested_{false};
  // Sizes of the last keyframe and of a typical frame since, for the send
  // window's admission (written by the encoder thread, read by the capture
  // thread).
  std::atomic<std::uint64_t> keyframeBytes_{0};
  std::atomic<std::uint64_t> frameBytes_{0};
  std::atomic<std::uint64_t> framesSinceKeyframe_{0};
  // The rate the receiver asked for with SET_BITRATE in this run; 0: none.
  std::atomic<std::uint32_t> requestedBps_{0};
  std::atomic<bool> visible_{true};
  std::atomic<bool> configSent_{false};
  // The graphics devices were lost, or the monitor may have moved to
  // another adapter: the next pipeline start makes new ones.
  std::atomic<bool> renewGraphics_{false};
  bool noDisplayNotified_ = false;  // under pipelineLock_ or on the capture thread
  bool sourceOpened_ = false;       // a source opened in this run; under pipelineLock_
  std::atomic<std::uint64_t> nextFrameId_{1};
  std::uint64_t lastPingUs_ = 0;
  std::uint64_t lastStatsUs_ = 0;
  std::atomic<std::uint64_t> lastVideoSentUs_{0};
  std::uint64_t pingCount_ = 0;
  std::atomic<std::uint64_t> retryAtUs_{0};
  std::atomic<std::uint64_t> negotiationStartUs_{0};
  bool deviceInfoNagged_ = false;
  // Guards deviceId_'s writes, pendingToken_, approvedId_, approvedKey_,
  // approvedStored_, question_, lastAskedAbout_ and the pairing store while
  // the session runs; a leaf but for the log's lock.
  std::mutex trustLock_;
  // Written on the receive thread under trustLock_; read there without it.
  std::string deviceId_;
  // A PAIR_ACCEPTED's token kept until this PC's user allows the receiver.
  std::string pendingToken_;
  // Who this PC's user allowed in this run: a reconnection that proves the
  // same key and claims the same id is not asked again.
  std::string approvedId_;
  std::string approvedKey_;
  // approvedId_'s pairing was stored: once it is gone from the store, it
  // was forgotten, and the earlier yes goes with it.
  bool approvedStored_ = false;
  // The question waiting to be shown, and who the last question of this
  // run was about (its key, or its id over plaintext).
  ApprovalQuestion question_;
  std::string lastAskedAbout_;
  // This connection's key fingerprint and verification code (empty over
  // plaintext); set before the cycle gate opens, constant after.
  std::string peerKey_;
  std::string peerCode_;
  bool helloSeen_ = false;  // the receive thread's
  std::atomic<PeerApproval> approval_{PeerApproval::kNone};
  // When the open question was asked, and when it is to be shown; set
  // before approval_ turns pending.
  std::atomic<std::uint64_t> approvalAskedUs_{0};
  std::atomic<std::uint64_t> approvalShowAtUs_{0};
  // The run thread's: the question is in front of the user since shownUs_.
  bool questionShown_ = false;
  std::uint64_t questionShownUs_ = 0;
  std::atomic<bool> noAnswerHere_{false};
  // The receiver is still to be told that this PC's answer is awaited.
  std::atomic<bool> approvalNoticeDue_{false};
  std::atomic<bool> refusedHere_{false};
  std::atomic<bool> awaitingApproval_{false};
  std::array<std::uint64_t, 9> pumpBaseline_{};
  TimingRing timingRing_;
  // Orders cycleOpen_'s changes and is held across Stop; with stopWake_ it wakes
  // Run's pauses on Stop and the receive thread's first frame once the
  // negotiation is set up. Never taken under another lock.
  std::mutex stopLock_;
  std::condition_variable stopWake_;
  // Written under stopLock_; read without it on the receive thread's fast
  // path, so that an open gate costs every message one atomic load.
  std::atomic<bool> cycleOpen_{false};
};

}  // namespace veyra
