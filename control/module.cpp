// The module's in-process server entry points and the class factories of
// its two classes, the control and its property page.
#include <windows.h>
// The COM headers below need the Windows types.
#include <olectl.h>

#include "com_server.h"
#include "kerunel_ctrl.h"
#include "kerunel_ids.h"
#include "module_unload.h"
#include "property_page.h"
#include "registration.h"

namespace kr {
namespace {

ServerLocks g_serverLocks;

StaticClassFactory<CKerunelCtrl> g_controlFactory(g_serverLocks);
StaticClassFactory<CKerunelPropPage> g_propPageFactory(g_serverLocks);

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

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) kr::ReleaseRuntimeOnUnload(reserved);
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (const kr::ClassEntry& entry : kr::kClasses) {
    if (clsid == entry.clsid) return entry.factory.QueryInterface(iid, out);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return kr::ModuleUsage() == 0 && kr::g_serverLocks.Count() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  return kr::RegisterModule();
}

STDAPI DllUnregisterServer() {
  return kr::UnregisterModule();
}

}  // extern "C"
