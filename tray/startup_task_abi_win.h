#pragma once

// The few Windows Runtime interfaces sign-in startup calls, at the ABI
// level: MinGW's headers lack them. Method order is the order of the
// interface definitions (it is the vtable); the ids of the parameterised
// interfaces are those the Windows Runtime derives from their signatures.

#include <windows.h>

#include <hstring.h>
#include <inspectable.h>

#include <cstdint>

// COM interfaces have no destructor in their vtable; objects end by Release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace veyra::winrt {

enum class AsyncStatus : std::int32_t { kStarted = 0, kCompleted = 1, kCanceled = 2, kError = 3 };

// IAsyncOperation<T> and its AsyncOperationCompletedHandler<T>, for one T.
template <class Traits>
struct IAsyncOperation : IInspectable {
  using Result = typename Traits::Result;
  struct Handler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation* operation, AsyncStatus status) = 0;
  };
  virtual HRESULT STDMETHODCALLTYPE put_Completed(Handler* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(Handler** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(Result* results) = 0;
};

struct IStartupTask;

// IAsyncOperation<Windows.ApplicationModel.StartupTask>.
struct StartupTaskResult {
  using Result = IStartupTask*;
  static constexpr GUID kOperation = {
      0xcbec7a4e, 0xa046, 0x5330, {0x87, 0x3d, 0x0f, 0xce, 0x22, 0x87, 0x92, 0xfa}};
  static constexpr GUID kHandler = {
      0x741f7697, 0x2452, 0x5c80, {0x83, 0xc6, 0x3b, 0x6f, 0x82, 0x2b, 0x90, 0x4c}};
};

// IAsyncOperation<Windows.ApplicationModel.StartupTaskState>.
struct StartupTaskStateResult {
  using Result = std::int32_t;
  static constexpr GUID kOperation = {
      0x5239a934, 0x80e2, 0x518f, {0xb8, 0x19, 0x1f, 0x31, 0x6f, 0x37, 0x9a, 0x3f}};
  static constexpr GUID kHandler = {
      0x70a0bf67, 0x19e8, 0x5a86, {0xa3, 0x2e, 0x3c, 0x98, 0x63, 0x82, 0x5a, 0x04}};
};

// IAsyncOperation<Boolean>; the ABI's boolean is one byte.
struct BooleanResult {
  using Result = std::uint8_t;
  static constexpr GUID kOperation = {
      0xcdb5efb3, 0x5788, 0x509d, {0x9b, 0xe1, 0x71, 0xcc, 0xb8, 0xa3, 0x36, 0x2a}};
  static constexpr GUID kHandler = {
      0xc1d3d1a2, 0xae17, 0x5a5f, {0xb5, 0xa2, 0xbd, 0xcc, 0x88, 0x44, 0x88, 0x9a}};
};

using StartupTaskOperation = IAsyncOperation<StartupTaskResult>;
using StartupTaskStateOperation = IAsyncOperation<StartupTaskStateResult>;
using BooleanOperation = IAsyncOperation<BooleanResult>;

// Windows.ApplicationModel.IStartupTask.
struct IStartupTask : IInspectable {
  static constexpr GUID kIid = {
      0xf75c23c8, 0xb5f2, 0x4f6c, {0x88, 0xdd, 0x36, 0xcb, 0x1d, 0x59, 0x9d, 0x17}};
  virtual HRESULT STDMETHODCALLTYPE RequestEnableAsync(StartupTaskStateOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE Disable() = 0;
  virtual HRESULT STDMETHODCALLTYPE get_State(std::int32_t* state) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TaskId(HSTRING* taskId) = 0;
};

// Windows.ApplicationModel.IStartupTaskStatics, the class's factory.
struct IStartupTaskStatics : IInspectable {
  static constexpr GUID kIid = {
      0xee5b60bd, 0xa148, 0x41a7, {0xb2, 0x6e, 0xe8, 0xb8, 0x8a, 0x1e, 0x62, 0xf8}};
  // Returns IAsyncOperation<IVectorView<StartupTask>>; not used.
  virtual HRESULT STDMETHODCALLTYPE GetForCurrentPackageAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAsync(HSTRING taskId, StartupTaskOperation** operation) = 0;
};

// Windows.Foundation.IUriRuntimeClass: only handed on, never called.
struct IUriRuntimeClass : IInspectable {
  static constexpr GUID kIid = {
      0x9e365e57, 0x48b2, 0x4160, {0x95, 0x6f, 0xc7, 0x38, 0x51, 0x20, 0xbb, 0xfc}};
};

// Windows.Foundation.IUriRuntimeClassFactory.
struct IUriRuntimeClassFactory : IInspectable {
  static constexpr GUID kIid = {
      0x44a9796f, 0x723e, 0x4fdf, {0xa2, 0x18, 0x03, 0x3e, 0x75, 0xb0, 0xc0, 0x84}};
  virtual HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, IUriRuntimeClass** instance) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateWithRelativeUri(HSTRING baseUri, HSTRING relativeUri,
                                                          IUriRuntimeClass** instance) = 0;
};

// Windows.System.ILauncherStatics. The file launches take an IStorageFile
// and options; they are not used.
struct ILauncherStatics : IInspectable {
  static constexpr GUID kIid = {
      0x277151c3, 0x9e3e, 0x42f6, {0x91, 0xa4, 0x5d, 0xfd, 0xeb, 0x23, 0x24, 0x51}};
  virtual HRESULT STDMETHODCALLTYPE LaunchFileAsync(IInspectable* file,
                                                    BooleanOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE LaunchFileWithOptionsAsync(IInspectable* file,
                                                               IInspectable* options,
                                                               BooleanOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE LaunchUriAsync(IUriRuntimeClass* uri,
                                                   BooleanOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE LaunchUriWithOptionsAsync(IUriRuntimeClass* uri,
                                                              IInspectable* options,
                                                              BooleanOperation** operation) = 0;
};

inline constexpr const wchar_t* kStartupTaskClass = L"Windows.ApplicationModel.StartupTask";
inline constexpr const wchar_t* kUriClass = L"Windows.Foundation.Uri";
inline constexpr const wchar_t* kLauncherClass = L"Windows.System.Launcher";

}  // namespace veyra::winrt

#pragma GCC diagnostic pop
