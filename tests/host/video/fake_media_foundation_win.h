#pragma once

#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/video/codec_api_win.h"
#include "host/video/media_foundation_platform_win.h"
#include "tests/host/support/com_object_win.h"
#include "tests/host/support/media_foundation_stubs_win.h"

namespace veyra::testing {

using Microsoft::WRL::ComPtr;

// One scripted ProcessOutput answer.
struct FakeEncodedOutput {
  HRESULT result = S_OK;
  std::vector<std::uint8_t> bytes;  // the access unit on success
};

// What a FakeMfTransform is scripted with and records. Owned by the test;
// every field is read and written under |mutex| (the pump calls from its
// own thread).
struct FakeMftRecord {
  mutable std::mutex mutex;

  // Script.
  bool async = false;
  bool withCodecApi = true;
  bool withEvents = true;
  HRESULT d3dManagerResult = S_OK;
  DWORD outputStreamFlags = 0;  // MFT_OUTPUT_STREAM_*
  DWORD outputBufferSize = 0;
  std::deque<FakeEncodedOutput> outputs;  // then MF_E_TRANSFORM_NEED_MORE_INPUT
  std::deque<MediaEventType> events;      // handed out by GetEvent or to the callback
  std::deque<HRESULT> eventStatuses;      // their statuses; S_OK when run out
  std::vector<GUID> rejectedSettings;     // SetValue answers E_NOTIMPL
  // Ranges GetParameterRange states, from 0; a VT_EMPTY maximum is an
  // encoder that states none.
  struct Range {
    GUID api;
    VARTYPE maxType;
    std::uint32_t max;
  };
  std::vector<Range> ranges;

  // Records.
  ComPtr<IMFAttributes> attributes;  // the transform's own, real ones
  std::vector<std::string> calls;
  std::vector<MFT_MESSAGE_TYPE> messages;
  ULONG_PTR d3dManager = 0;
  struct Setting {
    GUID api;
    VARTYPE type;
    std::uint32_t value;
  };
  std::vector<Setting> settings;
  std::vector<ComPtr<IMFMediaType>> outputTypes;  // every SetOutputType, in order
  ComPtr<IMFMediaType> inputType;
  int availableTypeCalls = 0;
  struct Input {
    LONGLONG time;
    LONGLONG duration;
    void* texture;  // the Direct3D texture the sample's buffer wraps
  };
  std::vector<Input> inputs;
  bool shutDown = false;
  int getEventsAfterShutdown = 0;
  int getEventCalls = 0;
  int beginGetEventCalls = 0;
  ComPtr<IMFAsyncCallback> waiting;  // BeginGetEvent's, until an event is handed over

  // The next event as Media Foundation makes it, with its status.
  HRESULT NextEvent(IMFMediaEvent** event) {
    const MediaEventType type = events.front();
    events.pop_front();
    HRESULT status = S_OK;
    if (!eventStatuses.empty()) {
      status = eventStatuses.front();
      eventStatuses.pop_front();
    }
    return MFCreateMediaEvent(type, GUID_NULL, status, nullptr, event);
  }

  // Hands the next event, or |ended| (MF_E_SHUTDOWN), to a waiting
  // callback on a Media Foundation work queue, as a generator does.
  void Deliver(HRESULT ended = S_OK) {
    if (!waiting || (events.empty() && SUCCEEDED(ended))) return;
    ComPtr<IMFMediaEvent> event;
    if (SUCCEEDED(ended)) NextEvent(event.GetAddressOf());
    ComPtr<IMFAsyncResult> result;
    if (FAILED(MFCreateAsyncResult(event.Get(), waiting.Get(), nullptr, result.GetAddressOf()))) {
      return;
    }
    result->SetStatus(ended);
    waiting.Reset();
    MFInvokeCallback(result.Get());
  }

  void Call(const char* name) { calls.emplace_back(name); }
};

class FakeCodecApi final : public ComObject<StubICodecAPI, ICodecAPI> {
 public:
  explicit FakeCodecApi(FakeMftRecord* record) : record_(record) {}
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    record_->Call("SetValue");
    for (const GUID& rejected : record_->rejectedSettings) {
      if (rejected == *api) return E_NOTIMPL;
    }
    const std::uint32_t number = value->vt == VT_BOOL ? static_cast<std::uint16_t>(value->boolVal)
                                                      : static_cast<std::uint32_t>(value->ulVal);
    record_->settings.push_back({*api, value->vt, number});
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID* api, VARIANT* low, VARIANT* high,
                                              VARIANT* step) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    for (const FakeMftRecord::Range& range : record_->ranges) {
      if (range.api != *api) continue;
      low->vt = VT_UI4;
      low->ulVal = 0;
      high->vt = range.maxType;
      high->ulVal = range.max;
      step->vt = VT_EMPTY;
      return S_OK;
    }
    return E_NOTIMPL;
  }

 private:
  FakeMftRecord* record_;
};

// Events as Media Foundation makes them; once shut down, every call fails
// with MF_E_SHUTDOWN, as the generator's documentation says.
class FakeEventGenerator final
    : public ComObject<StubIMFMediaEventGenerator, IMFMediaEventGenerator> {
 public:
  explicit FakeEventGenerator(FakeMftRecord* record) : record_(record) {}
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    *event = nullptr;
    if (record_->shutDown) {
      ++record_->getEventsAfterShutdown;
      return MF_E_SHUTDOWN;
    }
    ++record_->getEventCalls;
    if ((flags & MF_EVENT_FLAG_NO_WAIT) == 0) return E_NOTIMPL;  // the pump never blocks
    // "IMFMediaEventGenerator::BeginGetEvent": not while a request is pending.
    if (record_->waiting) return MF_E_MULTIPLE_SUBSCRIBERS;
    if (record_->events.empty()) return MF_E_NO_EVENTS_AVAILABLE;
    return record_->NextEvent(event);
  }
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown*) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    if (record_->shutDown) return MF_E_SHUTDOWN;
    ++record_->beginGetEventCalls;
    if (record_->waiting) return MF_E_MULTIPLE_SUBSCRIBERS;
    record_->waiting = callback;
    record_->Deliver();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    *event = nullptr;
    const HRESULT status = result->GetStatus();
    if (FAILED(status)) return status;
    ComPtr<IUnknown> object;
    const HRESULT got = result->GetObject(object.GetAddressOf());
    return FAILED(got) ? got : object->QueryInterface(IID_PPV_ARGS(event));
  }

 private:
  FakeMftRecord* record_;
};

class FakeShutdown final : public ComObject<StubIMFShutdown, IMFShutdown> {
 public:
  explicit FakeShutdown(FakeMftRecord* record) : record_(record) {}
  HRESULT STDMETHODCALLTYPE Shutdown() override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    record_->Call("Shutdown");
    record_->shutDown = true;
    record_->Deliver(MF_E_SHUTDOWN);
    return S_OK;
  }

 private:
  FakeMftRecord* record_;
};

// An H.264 encoder transform with one input and one output stream (ids 0).
class FakeMfTransform final : public ComObject<StubIMFTransform, IMFTransform> {
 public:
  explicit FakeMfTransform(FakeMftRecord* record) : record_(record) {
    MFCreateAttributes(record_->attributes.ReleaseAndGetAddressOf(), 4);
    if (record_->async) record_->attributes->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
    record_->attributes->SetUINT32(MF_SA_D3D11_AWARE, TRUE);
  }

  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override {
    *inputs = 1;
    *outputs = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override {
    return E_NOTIMPL;  // fixed streams, numbered from 0
  }
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override {
    return record_->attributes.CopyTo(attributes);
  }
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD stream, IMFMediaType* type, DWORD) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    record_->Call("SetOutputType");
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    record_->outputTypes.emplace_back(type);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD stream, IMFMediaType* type, DWORD) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    record_->Call("SetInputType");
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    // An encoder takes an input type only once its output type is set.
    if (record_->outputTypes.empty()) return MF_E_TRANSFORM_TYPE_NOT_SET;
    record_->inputType = type;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD, IMFMediaType** type) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    if (record_->outputTypes.empty()) return MF_E_TRANSFORM_TYPE_NOT_SET;
    return record_->outputTypes.back().CopyTo(type);
  }
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD, DWORD index,
                                                   IMFMediaType** type) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    ++record_->availableTypeCalls;
    if (index > 0) return MF_E_NO_MORE_TYPES;
    HRESULT result = MFCreateMediaType(type);
    if (SUCCEEDED(result)) (*type)->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    return result;
  }
  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD stream, IMFSample* sample, DWORD flags) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    if (stream != 0 || sample == nullptr || flags != 0) return E_INVALIDARG;
    FakeMftRecord::Input input{};
    sample->GetSampleTime(&input.time);
    sample->GetSampleDuration(&input.duration);
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFDXGIBuffer> surface;
    ComPtr<ID3D11Texture2D> texture;
    if (SUCCEEDED(sample->GetBufferByIndex(0, buffer.GetAddressOf())) &&
        SUCCEEDED(buffer.As(&surface)) &&
        SUCCEEDED(surface->GetResource(IID_PPV_ARGS(texture.GetAddressOf())))) {
      input.texture = texture.Get();
    }
    record_->inputs.push_back(input);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD, DWORD* flags) override {
    *flags = MFT_INPUT_STATUS_ACCEPT_DATA;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    *info = MFT_OUTPUT_STREAM_INFO{};
    info->dwFlags = record_->outputStreamFlags;
    info->cbSize = record_->outputBufferSize;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    record_->messages.push_back(message);
    if (message == MFT_MESSAGE_SET_D3D_MANAGER) {
      if (FAILED(record_->d3dManagerResult)) return record_->d3dManagerResult;
      record_->d3dManager = param;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers,
                                          DWORD* status) override {
    const std::lock_guard<std::mutex> lock(record_->mutex);
    *status = 0;
    if (flags != 0 || count != 1) return E_INVALIDARG;
    if (record_->outputs.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    const bool provides = (record_->outputStreamFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
    // Documented: a caller-allocated sample is required unless the
    // transform provides them, and must be absent when it does.
    if (provides != (buffers->pSample == nullptr)) return E_INVALIDARG;
    FakeEncodedOutput next = record_->outputs.front();
    record_->outputs.pop_front();
    if (FAILED(next.result)) return next.result;
    ComPtr<IMFSample> sample = buffers->pSample;
    if (provides) {
      MFCreateSample(sample.GetAddressOf());
      ComPtr<IMFMediaBuffer> buffer;
      MFCreateMemoryBuffer(static_cast<DWORD>(next.bytes.size()), buffer.GetAddressOf());
      sample->AddBuffer(buffer.Get());
      buffers->pSample = sample.Detach();
      sample = buffers->pSample;
    }
    ComPtr<IMFMediaBuffer> buffer;
    sample->GetBufferByIndex(0, buffer.GetAddressOf());
    BYTE* data = nullptr;
    DWORD capacity = 0;
    buffer->Lock(&data, &capacity, nullptr);
    if (capacity < next.bytes.size()) {
      buffer->Unlock();
      return MF_E_BUFFERTOOSMALL;
    }
    std::copy(next.bytes.begin(), next.bytes.end(), data);
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(next.bytes.size()));
    return S_OK;
  }

 protected:
  HRESULT QueryOther(REFIID iid, void** object) override {
    if (iid == __uuidof(ICodecAPI) && record_->withCodecApi) {
      *object = MakeCom<FakeCodecApi>(record_).Detach();
      return S_OK;
    }
    if (iid == __uuidof(IMFMediaEventGenerator) && record_->withEvents) {
      *object = MakeCom<FakeEventGenerator>(record_).Detach();
      return S_OK;
    }
    if (iid == __uuidof(IMFShutdown) && record_->withEvents) {
      *object = MakeCom<FakeShutdown>(record_).Detach();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

 private:
  FakeMftRecord* record_;
};

// The activation object of one fake encoder.
class FakeActivate final : public ComObject<StubIMFActivate, IMFAttributes, IMFActivate> {
 public:
  FakeActivate(const wchar_t* name, FakeMftRecord* record, std::atomic<int>* shutdowns)
      : name_(name), record_(record), shutdowns_(shutdowns) {}

  HRESULT STDMETHODCALLTYPE ActivateObject(REFIID iid, void** object) override {
    if (record_ == nullptr) return E_FAIL;  // an encoder that cannot start
    return MakeCom<FakeMfTransform>(record_)->QueryInterface(iid, object);
  }
  HRESULT STDMETHODCALLTYPE ShutdownObject() override {
    ++*shutdowns_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAllocatedString(REFGUID key, LPWSTR* value,
                                               UINT32* length) override {
    if (key != MFT_FRIENDLY_NAME_Attribute) return MF_E_ATTRIBUTENOTFOUND;
    const std::size_t size = std::wcslen(name_) + 1;
    *value = static_cast<LPWSTR>(CoTaskMemAlloc(size * sizeof(wchar_t)));
    std::wcscpy(*value, name_);
    *length = static_cast<UINT32>(size - 1);
    return S_OK;
  }

 private:
  const wchar_t* name_;
  FakeMftRecord* record_;
  std::atomic<int>* shutdowns_;
};

// Media Foundation with the encoders the test lists: MFStartup and
// MFShutdown are the real ones (media types and samples are real too);
// the enumeration hands out the fakes, a new array per call as MFTEnumEx
// does.
struct FakeEncoderCatalogue {
  struct Entry {
    const wchar_t* name;
    FakeMftRecord* record;          // nullptr: activation fails
    std::uint64_t adapterLuid = 0;  // of the GPU a hardware encoder belongs to; 0: every one
  };
  std::vector<Entry> hardware;
  std::vector<Entry> software;
  bool withEnum2 = true;  // MFTEnum2 is there
  std::vector<UINT32> enumerationFlags;
  std::vector<std::uint64_t> adapterLuids;  // asked of MFTEnum2, in order
  std::atomic<int> shutdownObjects{0};
  int startups = 0;
  int shutdowns = 0;

  MediaFoundationPlatform Platform() {
    MediaFoundationPlatform platform;
    platform.startup = [this] {
      ++startups;
      return MFStartup(MF_VERSION, MFSTARTUP_LITE);
    };
    platform.shutdown = [this] {
      ++shutdowns;
      MFShutdown();
    };
    platform.enumerate = [this](GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                                const MFT_REGISTER_TYPE_INFO* output, IMFActivate*** activates,
                                UINT32* count) -> HRESULT {
      return List(category, flags, input, output, 0, activates, count);
    };
    if (withEnum2) {
      platform.enumerateOnAdapter =
          [this](GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
                 const MFT_REGISTER_TYPE_INFO* output, IMFAttributes* attributes,
                 IMFActivate*** activates, UINT32* count) -> HRESULT {
        LUID luid{};
        UINT32 size = 0;
        if (attributes == nullptr ||
            FAILED(attributes->GetBlob(kMftEnumAdapterLuid, reinterpret_cast<UINT8*>(&luid),
                                       sizeof luid, &size)) ||
            size != sizeof luid) {
          return E_INVALIDARG;
        }
        const std::uint64_t value =
            (static_cast<std::uint64_t>(static_cast<std::uint32_t>(luid.HighPart)) << 32) |
            luid.LowPart;
        adapterLuids.push_back(value);
        return List(category, flags, input, output, value, activates, count);
      };
    }
    return platform;
  }

  // The entries of the kind asked for, of adapter |luid| when it is not 0.
  HRESULT List(GUID category, UINT32 flags, const MFT_REGISTER_TYPE_INFO* input,
               const MFT_REGISTER_TYPE_INFO* output, std::uint64_t luid, IMFActivate*** activates,
               UINT32* count) {
    enumerationFlags.push_back(flags);
    *activates = nullptr;
    *count = 0;
    if (category != MFT_CATEGORY_VIDEO_ENCODER || input != nullptr || output == nullptr ||
        output->guidMajorType != MFMediaType_Video || output->guidSubtype != MFVideoFormat_H264) {
      return S_OK;  // nothing of that kind here
    }
    std::vector<Entry> list;
    for (const Entry& entry : (flags & MFT_ENUM_FLAG_HARDWARE) != 0 ? hardware : software) {
      if (luid == 0 || entry.adapterLuid == 0 || entry.adapterLuid == luid) list.push_back(entry);
    }
    if (list.empty()) return S_OK;
    *activates = static_cast<IMFActivate**>(CoTaskMemAlloc(list.size() * sizeof(IMFActivate*)));
    for (std::size_t i = 0; i < list.size(); ++i) {
      (*activates)[i] =
          MakeCom<FakeActivate>(list[i].name, list[i].record, &shutdownObjects).Detach();
    }
    *count = static_cast<UINT32>(list.size());
    return S_OK;
  }
};

}  // namespace veyra::testing
