// Placeholder for the Direct3D 11 video processor engine, still to be
// written: Init reports it as not implemented, so no pool is built.

#include <memory>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/video/conversion_engine.h"

namespace veyra {
namespace {

class UnavailableEngine final : public ConversionEngine {
 public:
  std::int32_t Init(GraphicsContext& /*graphics*/, std::uint32_t /*inputWidth*/,
                    std::uint32_t /*inputHeight*/, std::uint32_t /*outputWidth*/,
                    std::uint32_t /*outputHeight*/) override {
    Log(LogLevel::Error, "%s failed: %s", "ID3D11VideoDevice query",
        HresultText(status::kENotImpl).c_str());
    return status::kENotImpl;
  }
  std::int32_t CreateSlot(Nv12Slot* /*slot*/) override { return status::kENotImpl; }
  void CloseSlot(Nv12Slot* slot) override { slot->sharedHandle = nullptr; }
  bool PrepareInput(const Texture& /*input*/) override { return false; }
  std::int32_t Blt(const Texture& /*input*/, const Nv12Slot& /*slot*/) override {
    return status::kENotImpl;
  }
  void EndQuery(const Nv12Slot& /*slot*/) override {}
  bool QueryDone(const Nv12Slot& /*slot*/) override { return true; }
  void Flush() override {}
  void Shutdown() override {}
};

}  // namespace

std::unique_ptr<ConversionEngine> CreatePlatformConversionEngine() {
  return std::make_unique<UnavailableEngine>();
}

}  // namespace veyra
