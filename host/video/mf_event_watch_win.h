#pragma once

#include <mfobjects.h>
#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <memory>

namespace veyra {

// Takes a transform's events as Media Foundation hands them over
// (BeginGetEvent, then EndGetEvent in the callback and the next
// BeginGetEvent: "Asynchronous MFTs"), into a queue the pump reads without
// waiting, and says so through |onEvent| so that the pump sleeps until
// there is something to do instead of polling. While the watch runs the
// generator's own GetEvent would fail: every event comes through Take.
//
// Threads: Start, Take and Stop on the pump's side; |onEvent| on a Media
// Foundation work-queue thread, never after Stop returned.
class MfEventWatch {
 public:
  MfEventWatch(Microsoft::WRL::ComPtr<IMFMediaEventGenerator> events,
               std::function<void()> onEvent);
  ~MfEventWatch();  // stops
  MfEventWatch(const MfEventWatch&) = delete;
  MfEventWatch& operator=(const MfEventWatch&) = delete;

  // Asks for the first event.
  HRESULT Start();

  // The oldest event taken: S_OK, MF_E_NO_EVENTS_AVAILABLE when none waits,
  // or the failure that ended the watch (MF_E_SHUTDOWN once the transform
  // is shut down) after the events before it.
  HRESULT Take(Microsoft::WRL::ComPtr<IMFMediaEvent>* event);

  // No event reaches |onEvent| after this returns. A request still pending
  // ends with the generator's shutdown.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace veyra
