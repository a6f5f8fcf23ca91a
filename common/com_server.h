// COM object plumbing shared by every module: the count of factory locks
// and one static class factory per class for in-process servers, and the
// IDispatch members of objects that are called by DISPID alone.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oaidl.h>

#include <new>

namespace kr {

// Factory locks of one module, for DllCanUnloadNow. An unlock without a
// lock is ignored, so an unbalanced LockServer(FALSE) can neither make a
// module in use look unused nor leave it unloadable for ever.
class ServerLocks {
 public:
  void Lock(bool lock) noexcept {
    if (lock) {
      ::InterlockedIncrement(&count_);
      return;
    }
    for (LONG held = count_; held > 0; held = count_) {
      if (::InterlockedCompareExchange(&count_, held - 1, held) == held) return;
    }
  }
  LONG Count() const noexcept { return count_; }

 private:
  volatile LONG count_ = 0;
};

// The class factory of `Object`, a static object for the module's lifetime:
// references do not decide its lifetime, and it counts as module usage
// only while locked. Every request creates a new object, which is born
// holding one reference that the factory gives up after handing out the
// requested interface.
template <typename Object>
class StaticClassFactory final : public IClassFactory {
 public:
  explicit StaticClassFactory(ServerLocks& locks) : locks_(locks) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) Object();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    locks_.Lock(lock != FALSE);
    return S_OK;
  }

 private:
  ServerLocks& locks_;
};

// IDispatch's type information for an object that offers none; the object
// still resolves its names and answers Invoke itself.
template <typename Base = IDispatch>
class NoTypeInfo : public Base {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out != nullptr) *out = nullptr;
    return DISP_E_BADINDEX;
  }
};

// An IDispatch whose callers know its DISPIDs (an event sink, a site's
// ambient properties): no type information and no names; the object
// answers Invoke itself.
template <typename Base = IDispatch>
class DispatchByIdOnly : public NoTypeInfo<Base> {
 public:
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    if (ids == nullptr) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
};

}  // namespace kr
