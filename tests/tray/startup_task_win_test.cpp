#include "tray/startup_task_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tray/sign_in_startup.h"

namespace veyra {
namespace {

using Microsoft::WRL::ComPtr;

// How a fake operation finishes: at once inside put_Completed (as one that
// had finished before the handler came), later from another thread, or never.
enum class Finish { kAtOnce, kLater, kNever };

// IAsyncOperation<T> as the runtime behaves: the handler is called once,
// with the status, and GetResults then gives the result.
template <class Traits>
class FakeOperation final
    : public InspectableObject<FakeOperation<Traits>, winrt::IAsyncOperation<Traits>> {
 public:
  using Result = typename Traits::Result;
  using Handler = typename winrt::IAsyncOperation<Traits>::Handler;

  FakeOperation(Result result, winrt::AsyncStatus status, Finish finish)
      : result_(result), status_(status), finish_(finish) {}
  ~FakeOperation() override {
    if (completer_.joinable()) {
      completer_.join();
    }
  }

  bool Answers(REFIID iid) const { return iid == Traits::kOperation; }

  HRESULT STDMETHODCALLTYPE put_Completed(Handler* handler) override {
    ComPtr<Handler> held(handler);
    if (finish_ == Finish::kAtOnce) {
      return handler->Invoke(this, status_);
    }
    if (finish_ == Finish::kLater) {
      // The thread holds a reference to the handler only: the waiter keeps
      // this operation alive until it has its answer.
      completer_ = std::thread([this, held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held->Invoke(this, status_);
      });
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Completed(Handler** handler) override {
    *handler = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetResults(Result* results) override {
    if (status_ != winrt::AsyncStatus::kCompleted) {
      return E_FAIL;  // the runtime says the results are not there
    }
    *results = result_;
    if constexpr (std::is_pointer_v<Result>) {
      if (result_ != nullptr) {
        result_->AddRef();
      }
    }
    return S_OK;
  }

 private:
  Result result_;
  winrt::AsyncStatus status_;
  Finish finish_;
  std::thread completer_;
};

// What a test scripts and what the fakes record.
struct World {
  bool hasStartupTaskClass = true;
  bool taskInPackage = true;
  std::int32_t state = 0;
  std::int32_t stateAfterEnable = static_cast<std::int32_t>(StartupTaskState::kEnabled);
  winrt::AsyncStatus status = winrt::AsyncStatus::kCompleted;
  Finish finish = Finish::kAtOnce;

  std::vector<std::wstring> askedTasks;
  int enableRequests = 0;
  int disables = 0;
  std::vector<std::wstring> launchedUris;
};

class FakeRuntime;

class FakeStartupTask final : public InspectableObject<FakeStartupTask, winrt::IStartupTask> {
 public:
  explicit FakeStartupTask(World& world) : world_(world) {}
  bool Answers(REFIID iid) const { return iid == winrt::IStartupTask::kIid; }

  HRESULT STDMETHODCALLTYPE
  RequestEnableAsync(winrt::StartupTaskStateOperation** operation) override {
    ++world_.enableRequests;
    *operation = FakeOperation<winrt::StartupTaskStateResult>::Create(world_.stateAfterEnable,
                                                                      world_.status, world_.finish)
                     .Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Disable() override {
    ++world_.disables;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_State(std::int32_t* state) override {
    *state = world_.state;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_TaskId(HSTRING* taskId) override {
    *taskId = nullptr;
    return E_NOTIMPL;
  }

 private:
  World& world_;
};

// Strings of the fake runtime are indexes into its own list.
class FakeRuntime final : public WinRtActivation {
 public:
  explicit FakeRuntime(World& world) : world_(world) {}

  HRESULT GetFactory(const wchar_t* className, const GUID& iid, void** factory) override;
  HRESULT CreateString(std::wstring_view text, HSTRING* string) override {
    strings_.emplace_back(text);
    *string = reinterpret_cast<HSTRING>(strings_.size());
    return S_OK;
  }
  void DeleteString(HSTRING /*string*/) override { ++deleted_; }

  std::wstring Text(HSTRING string) const {
    return strings_.at(reinterpret_cast<std::size_t>(string) - 1);
  }
  bool AllStringsDeleted() const { return deleted_ == strings_.size(); }

 private:
  World& world_;
  std::deque<std::wstring> strings_;
  std::size_t deleted_ = 0;
};

class FakeStatics final : public InspectableObject<FakeStatics, winrt::IStartupTaskStatics> {
 public:
  FakeStatics(World& world, FakeRuntime& runtime) : world_(world), runtime_(runtime) {}
  bool Answers(REFIID iid) const { return iid == winrt::IStartupTaskStatics::kIid; }

  HRESULT STDMETHODCALLTYPE GetForCurrentPackageAsync(IInspectable** operation) override {
    *operation = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetAsync(HSTRING taskId,
                                     winrt::StartupTaskOperation** operation) override {
    world_.askedTasks.push_back(runtime_.Text(taskId));
    if (!world_.taskInPackage) {
      // The runtime reports a task the manifest lacks as a failed operation.
      *operation = FakeOperation<winrt::StartupTaskResult>::Create(
                       nullptr, winrt::AsyncStatus::kError, Finish::kAtOnce)
                       .Detach();
      return S_OK;
    }
    const auto task = FakeStartupTask::Create(world_);
    *operation =
        FakeOperation<winrt::StartupTaskResult>::Create(task.Get(), world_.status, world_.finish)
            .Detach();
    return S_OK;
  }

 private:
  World& world_;
  FakeRuntime& runtime_;
};

class FakeUri final : public InspectableObject<FakeUri, winrt::IUriRuntimeClass> {
 public:
  explicit FakeUri(std::wstring uri) : text(std::move(uri)) {}
  bool Answers(REFIID iid) const { return iid == winrt::IUriRuntimeClass::kIid; }
  std::wstring text;
};

class FakeUris final : public InspectableObject<FakeUris, winrt::IUriRuntimeClassFactory> {
 public:
  explicit FakeUris(FakeRuntime& runtime) : runtime_(runtime) {}
  bool Answers(REFIID iid) const { return iid == winrt::IUriRuntimeClassFactory::kIid; }
  HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, winrt::IUriRuntimeClass** instance) override {
    *instance = FakeUri::Create(runtime_.Text(uri)).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateWithRelativeUri(HSTRING /*baseUri*/, HSTRING /*relativeUri*/,
                                                  winrt::IUriRuntimeClass** instance) override {
    *instance = nullptr;
    return E_NOTIMPL;
  }

 private:
  FakeRuntime& runtime_;
};

class FakeLauncher final : public InspectableObject<FakeLauncher, winrt::ILauncherStatics> {
 public:
  explicit FakeLauncher(World& world) : world_(world) {}
  bool Answers(REFIID iid) const { return iid == winrt::ILauncherStatics::kIid; }
  HRESULT STDMETHODCALLTYPE LaunchFileAsync(IInspectable* /*file*/,
                                            winrt::BooleanOperation** operation) override {
    *operation = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE
  LaunchFileWithOptionsAsync(IInspectable* /*file*/, IInspectable* /*options*/,
                             winrt::BooleanOperation** operation) override {
    *operation = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LaunchUriAsync(winrt::IUriRuntimeClass* uri,
                                           winrt::BooleanOperation** operation) override {
    world_.launchedUris.push_back(static_cast<FakeUri*>(uri)->text);
    *operation = FakeOperation<winrt::BooleanResult>::Create(1, winrt::AsyncStatus::kCompleted,
                                                             Finish::kAtOnce)
                     .Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE
  LaunchUriWithOptionsAsync(winrt::IUriRuntimeClass* /*uri*/, IInspectable* /*options*/,
                            winrt::BooleanOperation** operation) override {
    *operation = nullptr;
    return E_NOTIMPL;
  }

 private:
  World& world_;
};

HRESULT FakeRuntime::GetFactory(const wchar_t* className, const GUID& iid, void** factory) {
  *factory = nullptr;
  ComPtr<IInspectable> object;
  const std::wstring name = className;
  if (name == winrt::kStartupTaskClass && world_.hasStartupTaskClass) {
    object = FakeStatics::Create(world_, *this);
  } else if (name == winrt::kUriClass) {
    object = FakeUris::Create(*this);
  } else if (name == winrt::kLauncherClass) {
    object = FakeLauncher::Create(world_);
  } else {
    return REGDB_E_CLASSNOTREG;
  }
  return object->QueryInterface(iid, factory);
}

class StartupTaskUnderWine : public ::testing::Test {
 protected:
  World world;
  FakeRuntime runtime{world};
  StartupTaskClient client{runtime, 5000};
};

TEST_F(StartupTaskUnderWine, EnabledOnlyByTheUserOrAPolicy) {
  const std::array<bool, 5> enabled = {false, false, true, false, true};
  for (std::int32_t state = 0; state < 5; ++state) {
    world.state = state;
    EXPECT_EQ(client.IsEnabled(), enabled[static_cast<std::size_t>(state)]) << state;
  }
  EXPECT_EQ(world.askedTasks, std::vector<std::wstring>(5, L"VeyraTray"));
  EXPECT_TRUE(runtime.AllStringsDeleted());
}

TEST_F(StartupTaskUnderWine, EnablingOpensSettingsOnlyWhenTheTaskStaysOff) {
  EXPECT_TRUE(client.SetEnabled(true));
  EXPECT_EQ(world.enableRequests, 1);
  EXPECT_TRUE(world.launchedUris.empty());

  world.stateAfterEnable = static_cast<std::int32_t>(StartupTaskState::kDisabledByUser);
  EXPECT_TRUE(client.SetEnabled(true));  // done, without a message
  EXPECT_EQ(world.launchedUris, std::vector<std::wstring>{L"ms-settings:startupapps"});

  world.stateAfterEnable = static_cast<std::int32_t>(StartupTaskState::kEnabledByPolicy);
  EXPECT_TRUE(client.SetEnabled(true));
  EXPECT_EQ(world.launchedUris.size(), 1U);
}

TEST_F(StartupTaskUnderWine, DisablingCallsDisable) {
  EXPECT_TRUE(client.SetEnabled(false));
  EXPECT_EQ(world.disables, 1);
  EXPECT_EQ(world.enableRequests, 0);
}

TEST_F(StartupTaskUnderWine, ATaskMissingFromThePackageOrAMissingClassFails) {
  world.state = static_cast<std::int32_t>(StartupTaskState::kEnabled);
  world.taskInPackage = false;
  EXPECT_FALSE(client.IsEnabled());
  EXPECT_FALSE(client.SetEnabled(true));
  EXPECT_FALSE(client.SetEnabled(false));
  world.taskInPackage = true;
  world.hasStartupTaskClass = false;
  EXPECT_FALSE(client.IsEnabled());
  EXPECT_FALSE(client.SetEnabled(true));
  EXPECT_EQ(world.disables + world.enableRequests, 0);
}

TEST_F(StartupTaskUnderWine, WaitsForACompletionFromAnotherThread) {
  world.finish = Finish::kLater;
  world.state = static_cast<std::int32_t>(StartupTaskState::kEnabled);
  EXPECT_TRUE(client.IsEnabled());
  world.stateAfterEnable = static_cast<std::int32_t>(StartupTaskState::kDisabledByPolicy);
  EXPECT_TRUE(client.SetEnabled(true));
  EXPECT_EQ(world.launchedUris.size(), 1U);
}

TEST_F(StartupTaskUnderWine, CancelledFailedOrUnfinishedOperationsFail) {
  world.state = static_cast<std::int32_t>(StartupTaskState::kEnabled);
  for (const auto status : {winrt::AsyncStatus::kCanceled, winrt::AsyncStatus::kError}) {
    world.status = status;
    EXPECT_FALSE(client.IsEnabled());
    EXPECT_FALSE(client.SetEnabled(true));
  }
  world.status = winrt::AsyncStatus::kCompleted;
  world.finish = Finish::kNever;
  StartupTaskClient impatient(runtime, 100);
  EXPECT_FALSE(impatient.IsEnabled());
}

TEST(StartupTaskRuntimeUnderWine, TheRealRuntimeWithoutTheClassFailsCleanly) {
  // Wine's combase has no startup task; a worker in the multithreaded
  // apartment gets a failure, not a crash.
  EXPECT_FALSE(RunOnWorkerThread([] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
      return false;
    }
    bool enabled = false;
    {
      CombaseRuntime runtime;
      enabled = StartupTaskClient(runtime).IsEnabled();
    }
    CoUninitialize();
    return enabled;
  }));
}

}  // namespace
}  // namespace veyra
