// The module's in-process server entry points and the class factories of
// its two classes, the control and its property page.
#include <windows.h>
// The COM headers below need the Windows types.
#include <olectl.h>

#include <new>

#include "kerunel_ctrl.h"
#include "kerunel_ids.h"
#include "property_page.h"
#include "registration.h"

namespace kr {
namespace {

// Factory locks; an unlock without a lock is ignored, so an unbalanced
// LockServer(FALSE) cannot leave the module unloadable.
LONG g_serverLocks = 0;

void LockModule(bool lock) {
  if (lock) {
    ::InterlockedIncrement(&g_serverLocks);
    ModuleAddRef();
    return;
  }
  for (LONG held = g_serverLocks; held > 0; held = g_serverLocks) {
    if (::InterlockedCompareExchange(&g_serverLocks, held - 1, held) == held) {
      ModuleRelease();
      return;
    }
  }
}

// One factory per class for the module's lifetime; it does not count as
// module usage unless locked. Every request creates a new object.
template <typename Object>
class CClassFactory final : public IClassFactory {
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
    auto* object = new (std::nothrow) Object();
    if (object == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    LockModule(lock != FALSE);
    return S_OK;
  }
};

CClassFactory<CKerunelCtrl> g_controlFactory;
CClassFactory<CKerunelPropPage> g_propPageFactory;

struct ClassEntry {
  const CLSID& clsid;
  IClassFactory& factory;
};
const ClassEntry kClasses[] = {
    {kControlClsid, g_controlFactory},
    {kPropPageClsid, g_propPageFactory},
};

}  // namespace
}  // namespace kr

extern "C" {

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (const kr::ClassEntry& entry : kr::kClasses) {
    if (clsid == entry.clsid) return entry.factory.QueryInterface(iid, out);
  }
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
