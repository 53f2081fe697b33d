#pragma once

#include <unknwn.h>
#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <utility>

namespace veyra::testing {

// IUnknown for a fake COM class: |Base| (usually a generated stub) with a
// reference count, answering QueryInterface for IUnknown and each of
// |Interfaces| (|Base| and the interfaces it derives from, in one chain).
// A fake adds other answers by overriding QueryOther.
template <typename Base, typename... Interfaces>
class ComObject : public Base {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == __uuidof(IUnknown) || ((iid == __uuidof(Interfaces)) || ...)) {
      *object = static_cast<Base*>(this);
      this->AddRef();
      return S_OK;
    }
    return QueryOther(iid, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;  // COM objects own themselves
    return left;
  }

  ULONG references() const { return references_; }

 protected:
  virtual ~ComObject() = default;
  virtual HRESULT QueryOther(REFIID /*iid*/, void** /*object*/) { return E_NOINTERFACE; }

 private:
  std::atomic<ULONG> references_{1};
};

// A new fake, held by the returned reference only.
template <typename T, typename... Args>
Microsoft::WRL::ComPtr<T> MakeCom(Args&&... args) {
  Microsoft::WRL::ComPtr<T> object;
  object.Attach(new T(std::forward<Args>(args)...));  // the count starts at 1
  return object;
}

}  // namespace veyra::testing
