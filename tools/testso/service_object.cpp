// The test Service Object: an in-process automation object that answers the
// 61 Service Object names, records every call and does what the test
// programmed (testso_api.h). Also its class factory, the server exports and
// self-registration.
#include <oaidl.h>
#include <olectl.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "com_server.h"
#include "testso_state.h"

namespace testso {
namespace {

HINSTANCE g_module = nullptr;
const CLSID kClsid = TESTSO_CLSID_INIT;
using Guard = kr::LockGuard<kr::CriticalSection>;

// Sink for the benchmark copies, so the compiler cannot drop them.
volatile LONGLONG g_benchSink = 0;

// Writes a programmed plain result into the caller's variant.
void StoreResult(VARIANT* result, VARTYPE vt, LONG value) {
  result->vt = vt;
  result->llVal = 0;
  switch (vt) {
    case VT_I1:
      result->cVal = static_cast<CHAR>(value);
      break;
    case VT_UI1:
      result->bVal = static_cast<BYTE>(value);
      break;
    case VT_I2:
      result->iVal = static_cast<SHORT>(value);
      break;
    case VT_UI2:
      result->uiVal = static_cast<USHORT>(value);
      break;
    case VT_BOOL:
      result->boolVal = static_cast<VARIANT_BOOL>(value);
      break;
    case VT_EMPTY:
    case VT_NULL:
      break;
    default:
      result->lVal = value;
      break;
  }
}

class ServiceObject;

// The instances alive, so that code returning from a callback can tell
// whether its object was destroyed meanwhile without touching it, and the
// one that took a control last (the one PostCallback uses). Under the
// state's lock.
std::vector<const ServiceObject*> g_instances;
ServiceObject* g_holder = nullptr;

bool IsAlive(const ServiceObject* object) {
  Guard g(TheState().lock);
  return std::find(g_instances.begin(), g_instances.end(), object) != g_instances.end();
}

// The windows from which objects make their posted callbacks.
constexpr wchar_t kWindowClass[] = L"KerunelTestSoWindow";
constexpr UINT kPostedMessage = WM_APP + 7;
int g_windows = 0;

class ServiceObject final : public kr::NoTypeInfo<> {
 public:
  ServiceObject() {
    State& s = TheState();
    ::InterlockedIncrement(&s.liveObjects);
    ::InterlockedIncrement(&s.createdObjects);
    ::InterlockedIncrement(&s.objectRefs);  // the creator's
    Guard g(s.lock);
    g_instances.push_back(this);
  }
  ~ServiceObject() {
    DropControl();
    {
      Guard g(TheState().lock);
      g_instances.erase(std::find(g_instances.begin(), g_instances.end(), this));
    }
    DestroyOwnWindow();
    ::InterlockedDecrement(&TheState().liveObjects);
  }
  ServiceObject(const ServiceObject&) = delete;
  ServiceObject& operator=(const ServiceObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    ::InterlockedIncrement(&TheState().objectRefs);
    return ::InterlockedIncrement(&refs_);
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ::InterlockedDecrement(&TheState().objectRefs);
    const LONG n = ::InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
  }

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                                   UINT* argErr) override;

  // Queues `plan` for the object's own window; false without a window.
  bool Post(const CallbackPlan& plan);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // Makes the posted callbacks, as an object that reports from its own
  // window does; stops when one of them destroyed the object.
  static void MakePosted(ServiceObject* self);
  void DestroyOwnWindow();

  HRESULT BenchInvoke(int index, const DISPPARAMS* params, VARIANT* result);
  void TakeControl(IDispatch* control);
  void DropControl();
  void WriteOutputs(const MethodProgram& program, const DISPPARAMS* params);

  volatile LONG refs_ = 1;        // the creator's
  IDispatch* control_ = nullptr;  // the control's dispatch from OpenService
  bool holdsControl_ = false;     // whether a reference on it was taken
  HWND window_ = nullptr;
  std::vector<CallbackPlan> posted_;
};

bool ServiceObject::Post(const CallbackPlan& plan) {
  if (!window_) {
    if (g_windows == 0) {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof(windowClass);
      windowClass.lpfnWndProc = WindowProc;
      windowClass.hInstance = g_module;
      windowClass.lpszClassName = kWindowClass;
      ::RegisterClassExW(&windowClass);
    }
    window_ = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                g_module, nullptr);
    if (!window_) return false;
    ++g_windows;
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  posted_.push_back(plan);
  return ::PostMessageW(window_, kPostedMessage, 0, 0) != FALSE;
}

void ServiceObject::DestroyOwnWindow() {
  if (!window_) return;
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  ::DestroyWindow(window_);
  window_ = nullptr;
  if (--g_windows == 0) ::UnregisterClassW(kWindowClass, g_module);
}

LRESULT CALLBACK ServiceObject::WindowProc(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  auto* self = reinterpret_cast<ServiceObject*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == kPostedMessage && self) {
    MakePosted(self);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void ServiceObject::MakePosted(ServiceObject* self) {
  State& s = TheState();
  std::vector<CallbackPlan> plans;
  plans.swap(self->posted_);
  for (const CallbackPlan& plan : plans) {
    s.MakeCallback(self->control_, plan, nullptr);
    // The object's own code goes on after the callback: it must still exist.
    if (!IsAlive(self)) {
      ::InterlockedIncrement(&s.freedInOwnCallback);
      return;
    }
  }
}

HRESULT ServiceObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                     DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  State& s = TheState();
  HRESULT hr = S_OK;
  {
    Guard g(s.lock);
    for (UINT i = 0; i < count; ++i) {
      const int index = FindMethod(names[i]);
      if (index < 0 || s.methods[index].lacking) {
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
      } else {
        ids[i] = DispidOf(index);
      }
    }
  }
  if (!s.benchMode) s.RecordName(count ? names[0] : nullptr, count, lcid, riid == IID_NULL, hr);
  return hr;
}

HRESULT ServiceObject::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  State& s = TheState();
  const int index = IndexOf(id);
  if (s.benchMode && index >= 0) return BenchInvoke(index, params, result);

  RemoteSync();
  CallRecord& record = s.RecordCall(index, id, riid, lcid, flags, params, result != nullptr);
  RemoteJournalCall(record.call);
  if (index < 0) return record.call.hr = DISP_E_MEMBERNOTFOUND;
  const TestSoCall call = record.call;  // the record may not be touched after callbacks

  MethodProgram program;
  {
    Guard g(s.lock);
    program = s.methods[index];
  }
  if (FAILED(program.failHr)) {
    record.call.hr = program.failHr;
    if (program.failHr == DISP_E_EXCEPTION && excep) {
      *excep = EXCEPINFO{};
      excep->scode = E_FAIL;
    }
    return program.failHr;
  }

  if (index == kOpenService) {
    const bool hasControl = call.argCount >= 3 && call.args[2].vt == VT_DISPATCH;
    TakeControl(hasControl ? static_cast<IDispatch*>(const_cast<void*>(call.args[2].pointer))
                           : nullptr);
  }
  if (index == kSetPropertyNumber && call.argCount >= 2) {
    Guard g(s.lock);
    s.numbers[call.args[0].number] = call.args[1].number;
  }

  for (const CallbackPlan& cb : program.callbacks) {
    IDispatch* control = control_;
    if (!control) {
      Guard g(s.lock);
      control = s.lastControl;
    }
    s.MakeCallback(control, cb, MethodName(index));
    {
      Guard g(s.lock);
      if (!s.callbacks.empty()) RemoteJournalCallback(s.callbacks.back().result);
    }
  }
  WriteOutputs(program, params);
  if (index == kClose) DropControl();

  if (!result) return S_OK;
  if (program.hasResult) {
    StoreResult(result, program.resultVt, program.resultValue);
  } else if (index == kGetPropertyNumber) {
    Guard g(s.lock);
    auto it = s.numbers.find(call.args[0].number);
    StoreResult(result, VT_I4, it == s.numbers.end() ? 0 : it->second);
  } else if (index == kGetPropertyString) {
    BSTR text;
    {
      Guard g(s.lock);
      auto it = s.strings.find(call.args[0].number);
      text = it == s.strings.end() ? ::SysAllocString(L"") : it->second.Alloc();
    }
    if (text) ::InterlockedIncrement(&s.bstrsHandedOut);
    result->vt = VT_BSTR;
    result->bstrVal = text;
  } else {
    StoreResult(result, VT_I4, 0);
  }
  return S_OK;
}

void ServiceObject::WriteOutputs(const MethodProgram& program, const DISPPARAMS* params) {
  if (!params || !params->rgvarg) return;
  State& s = TheState();
  bool numberDone = !program.hasOutNumber;
  bool textDone = !program.hasOutText;
  // In call order: the first by-reference argument of each type gets the output.
  for (UINT i = params->cArgs; i-- > 0;) {
    VARIANT& v = params->rgvarg[i];
    if (!numberDone && v.vt == (VT_BYREF | VT_I4) && v.plVal) {
      *v.plVal = program.outNumber;
      numberDone = true;
    } else if (!textDone && v.vt == (VT_BYREF | VT_BSTR) && v.pbstrVal) {
      // Automation rules: the callee frees the string it replaces.
      if (*v.pbstrVal) {
        ::SysFreeString(*v.pbstrVal);
        ::InterlockedIncrement(&s.callerBstrsFreed);
      }
      *v.pbstrVal = program.outText.Alloc();
      if (*v.pbstrVal) ::InterlockedIncrement(&s.bstrsHandedOut);
      textDone = true;
    }
  }
}

// Copies the arguments as a real object must before acting on them (strings
// into its own 8-bit buffers, numbers into its own variables), without
// recording, and answers like the default behaviour.
HRESULT ServiceObject::BenchInvoke(int index, const DISPPARAMS* params, VARIANT* result) {
  constexpr int kTextMax = 128;
  char texts[TESTSO_MAX_ARGS][kTextMax];
  LONGLONG sum = 0;
  const UINT count = params && params->rgvarg ? params->cArgs : 0;
  for (UINT i = 0; i < count && i < TESTSO_MAX_ARGS; ++i) {
    const VARIANT& v = params->rgvarg[i];
    switch (v.vt) {
      case VT_BSTR: {
        int n = 0;
        if (v.bstrVal) {
          n = ::WideCharToMultiByte(CP_ACP, 0, v.bstrVal,
                                    static_cast<int>(::SysStringLen(v.bstrVal)), texts[i],
                                    kTextMax - 1, nullptr, nullptr);
        }
        texts[i][n] = '\0';
        sum += n + texts[i][0];
        break;
      }
      case VT_I4:
        sum += v.lVal;
        break;
      case VT_BOOL:
        sum += v.boolVal;
        break;
      case VT_CY:
        sum += v.cyVal.int64;
        break;
      default:
        break;
    }
  }
  g_benchSink = sum;
  if (!result) return S_OK;
  LONG value = 0;
  if (index == kGetPropertyNumber && count == 1 && params->rgvarg[0].vt == VT_I4) {
    const auto& numbers = TheState().numbers;  // not changed while benchmarking
    auto it = numbers.find(params->rgvarg[0].lVal);
    if (it != numbers.end()) value = it->second;
  }
  StoreResult(result, VT_I4, value);
  return S_OK;
}

void ServiceObject::TakeControl(IDispatch* control) {
  DropControl();
  if (!control) return;
  State& s = TheState();
  control_ = control;
  {
    Guard g(s.lock);
    holdsControl_ = s.holdControl;
    s.lastControl = control;
  }
  if (holdsControl_) {
    control->AddRef();
    ::InterlockedIncrement(&s.controlRefsHeld);
  }
  Guard g(s.lock);
  g_holder = this;
}

void ServiceObject::DropControl() {
  IDispatch* control = control_;
  if (!control) return;
  control_ = nullptr;
  State& s = TheState();
  {
    Guard g(s.lock);
    if (s.lastControl == control) s.lastControl = nullptr;
    if (g_holder == this) g_holder = nullptr;
  }
  if (holdsControl_) {
    holdsControl_ = false;
    ::InterlockedDecrement(&s.controlRefsHeld);
    control->Release();  // last: the control may go away and call back in
  }
}

kr::StaticClassFactory<ServiceObject> g_factory(TheState().serverLocks);

}  // namespace

bool PostCallback(const CallbackPlan& plan) {
  ServiceObject* holder;
  {
    Guard g(TheState().lock);
    holder = g_holder;
  }
  return holder && holder->Post(plan);
}

namespace {

// Writes a string value (name null: the default value) under root\path.
LONG WriteValue(const WCHAR* path, const WCHAR* name, const WCHAR* value) {
  kr::UniqueHKey key;
  LONG rc = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                              nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const DWORD bytes = static_cast<DWORD>((::lstrlenW(value) + 1) * sizeof(WCHAR));
  return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

}  // namespace
}  // namespace testso

using namespace testso;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  const State& s = TheState();
  return s.liveObjects == 0 && s.serverLocks.Count() == 0 ? S_OK : S_FALSE;
}

// Returns S_OK, or SELFREG_E_CLASS when a key could not be written.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
  WCHAR path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return SELFREG_E_CLASS;
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + TESTSO_CLSID_STRING;
  const std::wstring inproc = clsidKey + L"\\InprocServer32";
  const std::wstring progidKey = std::wstring(TESTSO_PROGID) + L"\\CLSID";
  const WCHAR* kDescription = L"Kerunel test Service Object";
  LONG rc = WriteValue(clsidKey.c_str(), nullptr, kDescription);
  if (rc == ERROR_SUCCESS) rc = WriteValue(inproc.c_str(), nullptr, path);
  if (rc == ERROR_SUCCESS) rc = WriteValue(inproc.c_str(), L"ThreadingModel", L"Apartment");
  if (rc == ERROR_SUCCESS)
    rc = WriteValue((clsidKey + L"\\ProgID").c_str(), nullptr, TESTSO_PROGID);
  if (rc == ERROR_SUCCESS) rc = WriteValue(TESTSO_PROGID, nullptr, kDescription);
  if (rc == ERROR_SUCCESS) rc = WriteValue(progidKey.c_str(), nullptr, TESTSO_CLSID_STRING);
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

// Returns S_OK; keys that are already gone are not an error.
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  const std::wstring clsidKey = std::wstring(L"CLSID\\") + TESTSO_CLSID_STRING;
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, clsidKey.c_str());
  ::RegDeleteTreeW(HKEY_CLASSES_ROOT, TESTSO_PROGID);
  return S_OK;
}
