#pragma once

#include <windows.h>

#include <inspectable.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <utility>

// The interfaces' destructors are not virtual: COM objects end by Release,
// which deletes through the most derived type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

namespace veyra {

// The reference count and QueryInterface of a small COM object with one
// interface. Derived says which interface ids it answers to; the object
// frees itself with its last reference.
template <class Derived, class Interface>
class ComObject : public Interface {
 public:
  template <class... Args>
  static Microsoft::WRL::ComPtr<Derived> Create(Args&&... args) {
    Microsoft::WRL::ComPtr<Derived> object;
    object.Attach(std::make_unique<Derived>(std::forward<Args>(args)...).release());
    return object;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    if (iid == __uuidof(IUnknown) || static_cast<const Derived*>(this)->Answers(iid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      const std::unique_ptr<Derived> last(static_cast<Derived*>(this));
    }
    return left;
  }

  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  friend std::default_delete<Derived>;

 private:
  std::atomic<ULONG> references_{1};
};

// The same for a Windows Runtime interface, whose IInspectable part the
// callers here never ask.
template <class Derived, class Interface>
class InspectableObject : public ComObject<Derived, Interface> {
 public:
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
    *count = 0;
    *iids = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
    *name = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
    *level = BaseTrust;
    return S_OK;
  }
};

}  // namespace veyra

#pragma GCC diagnostic pop
