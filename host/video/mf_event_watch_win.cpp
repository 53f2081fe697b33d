#include "host/video/mf_event_watch_win.h"

#include <mferror.h>

#include <deque>
#include <mutex>
#include <utility>

#include "host/base/com_object_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

struct MfEventWatch::State {
  // Held while an event is queued and |onEvent| told, so that Stop waits
  // for a callback under way.
  std::mutex lock;
  ComPtr<IMFMediaEventGenerator> events;  // cleared by Stop
  std::function<void()> onEvent;
  std::deque<ComPtr<IMFMediaEvent>> queue;
  HRESULT ended = S_OK;  // why no more events will come
};

namespace {

// The callback object the generator holds while a request is pending. It
// shares the state, so it may outlive the watch.
class EventCallback final : public ComObject<EventCallback, IMFAsyncCallback> {
 public:
  explicit EventCallback(std::shared_ptr<MfEventWatch::State> state) : state_(std::move(state)) {}

  bool Answers(REFIID iid) const { return iid == __uuidof(IMFAsyncCallback); }

  HRESULT STDMETHODCALLTYPE GetParameters(DWORD* /*flags*/, DWORD* /*queue*/) override {
    return E_NOTIMPL;  // the default work queue, no hints
  }

  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
    ComPtr<IMFMediaEventGenerator> events;
    {
      const std::lock_guard<std::mutex> guard(state_->lock);
      events = state_->events;
    }
    if (!events) return S_OK;  // stopped
    ComPtr<IMFMediaEvent> event;
    HRESULT status = events->EndGetEvent(result, event.GetAddressOf());
    MediaEventType type = MEUnknown;
    if (SUCCEEDED(status) && event) event->GetType(&type);
    {
      // Queued before the next request: events keep their order even when
      // the next callback runs on another thread.
      const std::lock_guard<std::mutex> guard(state_->lock);
      if (!state_->events) return S_OK;
      if (event) state_->queue.push_back(std::move(event));
      if (FAILED(status)) state_->ended = status;
    }
    // After MEError the transform sends nothing more that matters.
    if (SUCCEEDED(status) && type != MEError) status = events->BeginGetEvent(this, nullptr);
    const std::lock_guard<std::mutex> guard(state_->lock);
    if (FAILED(status) && SUCCEEDED(state_->ended)) state_->ended = status;
    if (state_->onEvent) state_->onEvent();
    return S_OK;
  }

 private:
  std::shared_ptr<MfEventWatch::State> state_;
};

}  // namespace

MfEventWatch::MfEventWatch(ComPtr<IMFMediaEventGenerator> events, std::function<void()> onEvent)
    : state_(std::make_shared<State>()) {
  state_->events = std::move(events);
  state_->onEvent = std::move(onEvent);
}

MfEventWatch::~MfEventWatch() { Stop(); }

HRESULT MfEventWatch::Start() {
  ComPtr<IMFMediaEventGenerator> events;
  {
    const std::lock_guard<std::mutex> guard(state_->lock);
    events = state_->events;
  }
  if (!events) return MF_E_SHUTDOWN;
  const ComPtr<EventCallback> callback = EventCallback::Create(state_);
  return events->BeginGetEvent(callback.Get(), nullptr);
}

HRESULT MfEventWatch::Take(ComPtr<IMFMediaEvent>* event) {
  const std::lock_guard<std::mutex> guard(state_->lock);
  if (!state_->queue.empty()) {
    *event = std::move(state_->queue.front());
    state_->queue.pop_front();
    return S_OK;
  }
  return FAILED(state_->ended) ? state_->ended : MF_E_NO_EVENTS_AVAILABLE;
}

void MfEventWatch::Stop() {
  const std::lock_guard<std::mutex> guard(state_->lock);
  state_->events.Reset();
  state_->onEvent = nullptr;
  state_->queue.clear();
}

}  // namespace veyra
