#include "tray/startup_task_win.h"

#include "tray/sign_in_startup.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

HRESULT StartupTaskClient::GetTask(ComPtr<winrt::IStartupTask>& task) {
  ComPtr<winrt::IStartupTaskStatics> statics;
  HRESULT hr = runtime_.GetFactory(winrt::kStartupTaskClass, winrt::IStartupTaskStatics::kIid,
                                   reinterpret_cast<void**>(statics.GetAddressOf()));
  if (FAILED(hr)) {
    return hr;
  }
  const ScopedHString id(runtime_, kStartupTaskId);
  if (FAILED(id.status())) {
    return id.status();
  }
  ComPtr<winrt::StartupTaskOperation> operation;
  hr = statics->GetAsync(id.Get(), operation.GetAddressOf());
  if (FAILED(hr)) {
    return hr;
  }
  winrt::IStartupTask* found = nullptr;
  hr = AwaitResults(operation.Get(), &found, limitMs_);
  task.Attach(found);
  if (SUCCEEDED(hr) && found == nullptr) {
    return E_POINTER;
  }
  return hr;
}

bool StartupTaskClient::IsEnabled() {
  ComPtr<winrt::IStartupTask> task;
  if (FAILED(GetTask(task))) {
    return false;
  }
  std::int32_t state = 0;
  return SUCCEEDED(task->get_State(&state)) && StartupTaskRuns(state);
}

bool StartupTaskClient::SetEnabled(bool enable) {
  ComPtr<winrt::IStartupTask> task;
  if (FAILED(GetTask(task))) {
    return false;
  }
  if (!enable) {
    return SUCCEEDED(task->Disable());
  }
  ComPtr<winrt::StartupTaskStateOperation> operation;
  if (FAILED(task->RequestEnableAsync(operation.GetAddressOf()))) {
    return false;
  }
  std::int32_t state = 0;
  if (FAILED(AwaitResults(operation.Get(), &state, limitMs_))) {
    return false;
  }
  if (!StartupTaskRuns(state)) {
    // Only the user can undo their own or a policy's choice, in Settings.
    OpenStartupSettings();
  }
  return true;
}

void StartupTaskClient::OpenStartupSettings() {
  ComPtr<winrt::IUriRuntimeClassFactory> uris;
  ComPtr<winrt::ILauncherStatics> launcher;
  if (FAILED(runtime_.GetFactory(winrt::kUriClass, winrt::IUriRuntimeClassFactory::kIid,
                                 reinterpret_cast<void**>(uris.GetAddressOf()))) ||
      FAILED(runtime_.GetFactory(winrt::kLauncherClass, winrt::ILauncherStatics::kIid,
                                 reinterpret_cast<void**>(launcher.GetAddressOf())))) {
    return;
  }
  const ScopedHString text(runtime_, kStartupAppsSettingsUri);
  ComPtr<winrt::IUriRuntimeClass> uri;
  if (FAILED(text.status()) || FAILED(uris->CreateUri(text.Get(), uri.GetAddressOf()))) {
    return;
  }
  ComPtr<winrt::BooleanOperation> operation;
  if (FAILED(launcher->LaunchUriAsync(uri.Get(), operation.GetAddressOf()))) {
    return;
  }
  std::uint8_t launched = 0;
  static_cast<void>(AwaitResults(operation.Get(), &launched, limitMs_));
}

namespace {

template <class Function>
Function Lookup(HMODULE module, const char* name) {
  if (module == nullptr) {
    return nullptr;
  }
  // GetProcAddress returns every export as one function type.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

CombaseRuntime::CombaseRuntime()
    : module_(LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
  getFactory_ = Lookup<GetFactoryFunction>(module_, "RoGetActivationFactory");
  createString_ = Lookup<CreateStringFunction>(module_, "WindowsCreateString");
  deleteString_ = Lookup<DeleteStringFunction>(module_, "WindowsDeleteString");
}

CombaseRuntime::~CombaseRuntime() {
  if (module_ != nullptr) {
    FreeLibrary(module_);
  }
}

HRESULT CombaseRuntime::GetFactory(const wchar_t* className, const GUID& iid, void** factory) {
  *factory = nullptr;
  if (getFactory_ == nullptr) {
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  const ScopedHString name(*this, className);
  if (FAILED(name.status())) {
    return name.status();
  }
  return getFactory_(name.Get(), iid, factory);
}

HRESULT CombaseRuntime::CreateString(std::wstring_view text, HSTRING* string) {
  *string = nullptr;
  if (createString_ == nullptr) {
    return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  return createString_(text.data(), static_cast<UINT32>(text.size()), string);
}

void CombaseRuntime::DeleteString(HSTRING string) {
  if (deleteString_ != nullptr) {
    deleteString_(string);
  }
}

}  // namespace veyra
