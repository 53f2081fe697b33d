// A receiver for glass-to-glass runs against veyra-host: it listens on
// loopback, answers the TLS handshake (or not, with --no-tls), introduces
// itself with HELLO and a 2208x1768 DEVICE_INFO, answers PINGs, really
// decodes every VIDEO_FRAME with libavcodec, converts the picture to BGRA
// as a renderer would ("presented"), and acknowledges each frame with its
// true arrival, decode and present times. A receiver that sees a gap in the
// video sequence numbers (a frame the host's queue dropped) asks for a
// keyframe, at most once a second, as a phone would to repair its picture.
//
// Host and receiver run on one machine, so both read the same monotonic
// clock: capture times in the VIDEO_FRAME headers compare directly with the
// receiver's times. Prints a summary of key=value lines and, with --csv, one
// line per frame. Asserts nothing.
//
//   glass_receiver [--no-tls] [--seconds S] [--csv FILE] [--bind ADDR]
//
// --bind listens on that IPv4 address instead of loopback (a network
// namespace's link, for scripts/bench-link).
//
// Prints "listening on port N" first; ends S seconds (default 20) after the
// first video frame, or when the host closes.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/glass_summary.h"
#include "bench/picture_decoder.h"
#include "bench/tls_loopback_server.h"
#include "host/base/clock.h"
#include "host/net/frame_decoder.h"
#include "host/net/socket.h"
#include "host/wire/binary_payloads.h"
#include "host/wire/byte_order.h"
#include "host/wire/control_messages.h"
#include "host/wire/frame.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

using bench::FrameRecord;
using bench::HostStatsSeen;
using bench::ReceiverCounts;

constexpr std::string_view kHello =
    R"({"protocolVersion":1,"deviceId":"bench-receiver","appVersion":"bench"})";
constexpr std::string_view kDeviceInfo =
    R"({"model":"bench receiver","widthPx":2208,"heightPx":1768,"densityDpi":420,)"
    R"("refreshHz":60.0,"h264LowLatency":true,"hevc":false,"maxDecodeWidth":1920,)"
    R"("maxDecodeHeight":1080,"touch":false})";

struct Args {
  bool tls = true;
  double seconds = 20;
  std::string csv;
  std::string bind;  // empty: loopback
};

Args ParseArgs(int argc, char** argv) {
  Args args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--no-tls") {
      args.tls = false;
    } else if (arg == "--seconds" && i + 1 < argc) {
      args.seconds = std::atof(argv[++i]);
    } else if (arg == "--csv" && i + 1 < argc) {
      args.csv = argv[++i];
    } else if (arg == "--bind" && i + 1 < argc) {
      args.bind = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: glass_receiver [--no-tls] [--seconds S] [--csv FILE] [--bind ADDR]\n");
      std::exit(2);
    }
  }
  return args;
}

// A video payload on its way to the decoder.
struct DecodeJob {
  FrameRecord record;
  std::vector<std::uint8_t> configData;  // SPS/PPS to feed first, if new
  std::vector<std::uint8_t> payload;
};

std::vector<std::uint8_t> FrameAckPayload(const FrameRecord& record) {
  std::vector<std::uint8_t> payload(kFrameAckPayloadBytes, 0);
  byte_order::StoreBe64(payload.data(), record.frameId);
  byte_order::StoreBe64(payload.data() + 8, record.receivedUs);
  byte_order::StoreBe64(payload.data() + 16, record.decodedUs);
  byte_order::StoreBe64(payload.data() + 24, record.presentedUs);
  return payload;
}

// A listening socket on |address| (dotted IPv4) at a port the system picks.
SocketHandle ListenOn(const std::string& address, std::uint16_t& port) {
  if (address.empty()) return ListenOnLoopback(port);
  ScopedSocket listener(static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  socklen_t size = sizeof(local);
  if (!listener.IsValid() || ::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
      ::bind(static_cast<int>(listener.Get()), reinterpret_cast<sockaddr*>(&local),
             sizeof(local)) != 0 ||
      ::listen(static_cast<int>(listener.Get()), 4) != 0 ||
      ::getsockname(static_cast<int>(listener.Get()), reinterpret_cast<sockaddr*>(&local), &size) !=
          0) {
    return kInvalidSocket;
  }
  port = ntohs(local.sin_port);
  return listener.Take();
}

class Receiver {
 public:
  explicit Receiver(Args args) : args_(std::move(args)) {}

  int Run() {
    std::uint16_t port = 0;
    ScopedSocket listener(ListenOn(args_.bind, port));
    if (!listener.IsValid()) return 1;
    std::printf("listening on port %u\n", unsigned{port});
    std::fflush(stdout);
    pollfd waitForHost{static_cast<int>(listener.Get()), POLLIN, 0};
    if (::poll(&waitForHost, 1, 30000) != 1) {
      std::printf("no host within 30 s\n");
      return 1;
    }
    ScopedSocket socket(AcceptConnection(listener.Get()));
    bench::TlsServer tls;
    const int fd = static_cast<int>(socket.Get());
    if (!socket.IsValid() || (args_.tls && !tls.Accept(fd))) {
      std::printf("accept or TLS handshake failed\n");
      return 1;
    }
    std::printf("host connected%s%s\n", args_.tls ? " over " : " (plaintext)",
                args_.tls ? tls.ProtocolName() : "");
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    wake_ = ::eventfd(0, EFD_NONBLOCK);
    bench::ServerLink link(fd, args_.tls ? &tls : nullptr);
    if (!decoder_.Open()) {
      std::printf("no H.264 decoder in libavcodec\n");
      return 1;
    }
    std::thread decodeThread([this] { DecodeLoop(); });
    Queue(MessageType::kHello, kHello);
    Queue(MessageType::kDeviceInfo, kDeviceInfo);
    NetworkLoop(link, fd);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    jobReady_.notify_all();
    decodeThread.join();
    ::shutdown(fd, SHUT_RDWR);
    ::close(wake_);
    Summarise();
    return 0;
  }

 private:
  void Queue(MessageType type, std::string_view json) {
    const std::vector<std::uint8_t> frame =
        EncodeFrame(counters_, type, Channel::kControl, 0, 0, NowUs(), json);
    QueueBytes(frame);
  }

  void QueueBytes(const std::vector<std::uint8_t>& frame) {
    {
      const std::lock_guard<std::mutex> lock(outboxMutex_);
      outbox_.insert(outbox_.end(), frame.begin(), frame.end());
    }
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

  // Reads, cuts frames, answers PINGs, hands video to the decoder and
  // writes what the decoder thread queued, all on this one thread: an SSL
  // object may not be read and written from two threads at once.
  void NetworkLoop(bench::ServerLink& link, int socket) {
    FrameDecoder frames;
    std::vector<std::uint8_t> buffer(1 << 16);
    std::vector<std::uint8_t> writing;
    bool wantWrite = false;
    for (;;) {
      if (firstFrameUs_ != 0 &&
          NowUs() - firstFrameUs_ > static_cast<std::uint64_t>(args_.seconds * 1e6)) {
        return;
      }
      if (!link.HasPending()) {
        pollfd fds[2] = {{socket, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                         {wake_, POLLIN, 0}};
        ::poll(fds, 2, 100);
        std::uint64_t drained = 0;
        (void)!::read(wake_, &drained, sizeof drained);
      }
      for (;;) {
        const long n = link.Read(buffer.data(), buffer.size());
        if (n == bench::TlsServer::kWouldBlock) break;
        if (n <= 0) {
          std::printf("host closed the connection\n");
          return;
        }
        frames.Append(buffer.data(), static_cast<std::size_t>(n));
        try {
          while (auto packet = frames.Next()) OnPacket(*packet);
        } catch (const ProtocolError& error) {
          std::printf("protocol error: %s\n", error.what());
          return;
        }
      }
      {
        const std::lock_guard<std::mutex> lock(outboxMutex_);
        writing.insert(writing.end(), outbox_.begin(), outbox_.end());
        outbox_.clear();
      }
      wantWrite = false;
      while (!writing.empty()) {
        const long n = link.Write(writing.data(), writing.size());
        if (n == bench::TlsServer::kWouldBlock) {
          wantWrite = true;
          break;
        }
        if (n < 0) {
          std::printf("write to the host failed\n");
          return;
        }
        writing.erase(writing.begin(), writing.begin() + n);
      }
    }
  }

  void OnPacket(const Packet& packet) {
    const std::uint64_t nowUs = NowUs();
    switch (static_cast<MessageType>(packet.header.type)) {
      case MessageType::kPing: {
        const PingPayload ping = DecodePing(packet.payload.data(), packet.payload.size());
        const auto pong = EncodePing(PingPayload{ping.pingId, ping.originUs, NowUs()});
        QueueBytes(EncodeFrame(counters_, MessageType::kPong, Channel::kControl, 0, 0, nowUs,
                               pong.data(), pong.size()));
        break;
      }
      case MessageType::kVideoConfigData:
        pendingConfig_ = packet.payload;
        break;
      case MessageType::kVideoFrame:
        OnVideo(packet, nowUs);
        break;
      case MessageType::kHostStats:
        OnHostStats(packet);
        break;
      case MessageType::kError:
        std::printf("host ERROR: %.*s\n", static_cast<int>(packet.payload.size()),
                    reinterpret_cast<const char*>(packet.payload.data()));
        break;
      default:
        break;
    }
  }

  void OnVideo(const Packet& packet, std::uint64_t nowUs) {
    if (firstFrameUs_ == 0) firstFrameUs_ = nowUs;
    DecodeJob job;
    job.record.frameId = packet.header.frameId;
    job.record.sequence = packet.header.sequence;
    job.record.captureUs = packet.header.timestampUs;
    job.record.receivedUs = nowUs;
    job.record.bytes = static_cast<std::uint32_t>(packet.payload.size());
    job.record.keyframe = (packet.header.flags & FrameFlags::kKeyframe) != 0;
    job.configData = std::move(pendingConfig_);
    pendingConfig_.clear();
    job.payload = packet.payload;
    if (haveSequence_ && packet.header.sequence != lastSequence_ + 1) {
      sequenceGaps_ += packet.header.sequence - lastSequence_ - 1;
      // The decoder lost a reference; ask for a fresh start, once a second.
      if (nowUs - lastIdrRequestUs_ > 1000000) {
        lastIdrRequestUs_ = nowUs;
        ++idrRequests_;
        Queue(MessageType::kRequestIdr, {});
      }
    }
    // A P-frame after a gap, before any keyframe, refers to a picture this
    // receiver never got: a broken picture on a phone.
    if (haveSequence_ && packet.header.sequence != lastSequence_ + 1) chainBroken_ = true;
    if (job.record.keyframe) chainBroken_ = false;
    if (chainBroken_) ++brokenReferences_;
    haveSequence_ = true;
    lastSequence_ = packet.header.sequence;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      job.record.decodeBacklog = jobs_.size();
      jobs_.push_back(std::move(job));
    }
    jobReady_.notify_one();
  }

  void OnHostStats(const Packet& packet) {
    try {
      const JsonValue json = ParseControlPayload(packet.payload.data(), packet.payload.size());
      HostStatsSeen seen;
      seen.fps = json.ReadDouble("fps", 0);
      seen.mbps = static_cast<double>(json.ReadInt64("bitrateBps", 0)) / 1e6;
      seen.networkMs = json.ReadDouble("networkMs", 0);
      seen.e2eP50Ms = json.ReadDouble("e2eP50Ms", 0);
      seen.e2eP95Ms = json.ReadDouble("e2eP95Ms", 0);
      seen.encoderQueue = json.ReadInt32("encoderQueue", 0);
      seen.dropped = json.ReadInt64("droppedFrames", 0);
      seen.rttMs = json.ReadDouble("rttMs", 0);
      const std::lock_guard<std::mutex> lock(mutex_);
      hostStats_.push_back(seen);
    } catch (const std::exception& error) {
      std::printf("bad HOST_STATS: %s\n", error.what());
    }
  }

  void DecodeLoop() {
    for (;;) {
      DecodeJob job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      decoder_.Decode(job.configData, job.payload, &job.record.decodedUs, &job.record.presentedUs);
      QueueBytes(EncodeFrame(counters_, MessageType::kFrameAck, Channel::kControl, 0,
                             job.record.frameId, NowUs(), FrameAckPayload(job.record).data(),
                             kFrameAckPayloadBytes));
      const std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(job.record);
    }
  }

  void Summarise() {
    const std::lock_guard<std::mutex> lock(mutex_);
    const ReceiverCounts counts{.width = decoder_.width(),
                                .height = decoder_.height(),
                                .decodeErrors = decoder_.errors(),
                                .sequenceGaps = sequenceGaps_,
                                .idrRequests = idrRequests_,
                                .brokenReferences = brokenReferences_};
    PrintSummary(records_, hostStats_, counts);
    if (!args_.csv.empty()) WriteFrameCsv(args_.csv, records_);
  }

  Args args_;
  SequenceCounters counters_;  // drawn on both threads, atomically
  int wake_ = -1;              // eventfd: the decoder thread queued bytes
  PictureDecoder decoder_;     // decoder thread only

  // Network thread only.
  std::vector<std::uint8_t> pendingConfig_;
  std::uint64_t firstFrameUs_ = 0;
  bool haveSequence_ = false;
  std::uint32_t lastSequence_ = 0;
  std::uint64_t sequenceGaps_ = 0;
  std::uint64_t lastIdrRequestUs_ = 0;
  std::uint64_t idrRequests_ = 0;
  bool chainBroken_ = false;
  std::uint64_t brokenReferences_ = 0;

  std::mutex outboxMutex_;  // guards outbox_; a leaf lock
  std::vector<std::uint8_t> outbox_;

  std::mutex mutex_;  // guards the four below; never held with outboxMutex_ taken
  std::condition_variable jobReady_;
  std::deque<DecodeJob> jobs_;
  std::vector<FrameRecord> records_;
  std::vector<HostStatsSeen> hostStats_;
  bool stopping_ = false;
};

}  // namespace
}  // namespace veyra

int main(int argc, char** argv) {
  veyra::Receiver receiver(veyra::ParseArgs(argc, argv));
  return receiver.Run();
}
