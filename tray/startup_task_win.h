#pragma once

// The packaged tray's startup task "VeyraTray", through the Windows Runtime
// ABI. Runs on a thread of the multithreaded apartment; the operations'
// completions arrive on the runtime's threads and are waited for here.

#include <windows.h>
#include <wrl/client.h>

#include <string_view>

#include "host/base/com_object_win.h"
#include "host/base/scoped_handle_win.h"
#include "tray/startup_task_abi_win.h"

namespace veyra {

// A completion takes well below a second; the bound only keeps a runtime
// that never answers from holding the UI thread for ever.
inline constexpr DWORD kStartupOperationLimitMs = 60000;

// What the startup task needs of the Windows Runtime: class factories and
// strings. Tests put fakes of the classes behind it.
class WinRtActivation {
 public:
  virtual ~WinRtActivation() = default;
  virtual HRESULT GetFactory(const wchar_t* className, const GUID& iid, void** factory) = 0;
  virtual HRESULT CreateString(std::wstring_view text, HSTRING* string) = 0;
  virtual void DeleteString(HSTRING string) = 0;
};

class ScopedHString {
 public:
  ScopedHString(WinRtActivation& runtime, std::wstring_view text) : runtime_(runtime) {
    status_ = runtime.CreateString(text, &string_);
  }
  ~ScopedHString() {
    if (string_ != nullptr) {
      runtime_.DeleteString(string_);
    }
  }
  ScopedHString(const ScopedHString&) = delete;
  ScopedHString& operator=(const ScopedHString&) = delete;
  HRESULT status() const { return status_; }
  HSTRING Get() const { return string_; }

 private:
  WinRtActivation& runtime_;
  HSTRING string_ = nullptr;
  HRESULT status_;
};

// The completion handler of one operation: keeps the status it was told and
// sets an event. It may be called on any thread, or at once inside
// put_Completed when the operation had already finished.
template <class Traits>
class CompletionSignal final
    : public ComObject<CompletionSignal<Traits>, typename winrt::IAsyncOperation<Traits>::Handler> {
 public:
  CompletionSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  bool Answers(REFIID iid) const {
    return iid == Traits::kHandler || iid == __uuidof(IAgileObject);
  }

  HRESULT STDMETHODCALLTYPE Invoke(winrt::IAsyncOperation<Traits>* /*operation*/,
                                   winrt::AsyncStatus status) override {
    status_ = status;
    SetEvent(event_.Get());
    return S_OK;
  }

  HANDLE Event() const { return event_.Get(); }
  winrt::AsyncStatus Status() const { return status_; }

 private:
  ScopedHandle event_;
  std::atomic<winrt::AsyncStatus> status_{winrt::AsyncStatus::kStarted};
};

// Waits until the operation completes, up to `limitMs`, and takes its
// results. A cancelled or failed operation, or one that did not finish in
// time, is a failure.
template <class Traits>
HRESULT AwaitResults(winrt::IAsyncOperation<Traits>* operation, typename Traits::Result* results,
                     DWORD limitMs) {
  const auto signal = CompletionSignal<Traits>::Create();
  if (signal->Event() == nullptr) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  const HRESULT set = operation->put_Completed(signal.Get());
  if (FAILED(set)) {
    return set;
  }
  if (WaitForSingleObject(signal->Event(), limitMs) != WAIT_OBJECT_0) {
    return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  }
  if (signal->Status() != winrt::AsyncStatus::kCompleted) {
    return E_FAIL;
  }
  return operation->GetResults(results);
}

// The startup task's query and change, on the calling thread, which must be
// in the multithreaded apartment. Every failure gives false.
class StartupTaskClient {
 public:
  explicit StartupTaskClient(WinRtActivation& runtime, DWORD limitMs = kStartupOperationLimitMs)
      : runtime_(runtime), limitMs_(limitMs) {}

  bool IsEnabled();
  // Enabling a task that the user or a policy disabled opens the Settings
  // page where the user may allow it; that still counts as done.
  bool SetEnabled(bool enable);

 private:
  HRESULT GetTask(Microsoft::WRL::ComPtr<winrt::IStartupTask>& task);
  void OpenStartupSettings();

  WinRtActivation& runtime_;
  DWORD limitMs_;
};

// The real runtime in combase.dll, looked up on construction so that a
// Windows without it still runs the tray (every call then fails).
class CombaseRuntime final : public WinRtActivation {
 public:
  CombaseRuntime();
  ~CombaseRuntime() override;
  CombaseRuntime(const CombaseRuntime&) = delete;
  CombaseRuntime& operator=(const CombaseRuntime&) = delete;

  HRESULT GetFactory(const wchar_t* className, const GUID& iid, void** factory) override;
  HRESULT CreateString(std::wstring_view text, HSTRING* string) override;
  void DeleteString(HSTRING string) override;

 private:
  using GetFactoryFunction = HRESULT(WINAPI*)(HSTRING, REFIID, void**);
  using CreateStringFunction = HRESULT(WINAPI*)(const wchar_t*, UINT32, HSTRING*);
  using DeleteStringFunction = HRESULT(WINAPI*)(HSTRING);

  HMODULE module_;
  GetFactoryFunction getFactory_ = nullptr;
  CreateStringFunction createString_ = nullptr;
  DeleteStringFunction deleteString_ = nullptr;
};

}  // namespace veyra
