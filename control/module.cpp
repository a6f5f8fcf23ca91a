// The module's in-process server entry points and the control's class
// factory.
#include <windows.h>
// The COM headers below need the Windows types.
#include <olectl.h>

#include <new>

#include "kerunel_ctrl.h"
#include "kerunel_ids.h"
#include "registration.h"

namespace kr {
namespace {

// One factory for the module's lifetime; it does not count as module usage
// unless locked.
class CKerunelFactory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
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
    auto* control = new (std::nothrow) CKerunelCtrl();
    if (control == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = control->QueryInterface(iid, out);
    control->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      ModuleAddRef();
    } else {
      ModuleRelease();
    }
    return S_OK;
  }
};

CKerunelFactory g_controlFactory;

}  // namespace
}  // namespace kr

extern "C" {

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid == kr::kControlClsid) return kr::g_controlFactory.QueryInterface(iid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return kr::ModuleUsage() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  return kr::RegisterModule();
}

STDAPI DllUnregisterServer() {
  return kr::UnregisterModule();
}

}  // extern "C"
