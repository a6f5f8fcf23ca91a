// The exported table of tests' entry points (see testso_api.h).
#include "testso_state.h"

namespace testso {
namespace {

using Guard = kr::LockGuard<kr::CriticalSection>;

// The program slot for a method name, or nullptr.
MethodProgram* Program(const WCHAR* method) {
  const int i = FindMethod(method);
  return i < 0 ? nullptr : &TheState().methods[i];
}

void WINAPI Reset() {
  TheState().Reset();
}

UINT WINAPI CallCount() {
  Guard g(TheState().lock);
  return static_cast<UINT>(TheState().calls.size());
}

const TestSoCall* WINAPI Call(UINT index) {
  Guard g(TheState().lock);
  auto& calls = TheState().calls;
  return index < calls.size() ? &calls[index].call : nullptr;
}

UINT WINAPI CountCalls(const WCHAR* method) {
  Guard g(TheState().lock);
  UINT n = 0;
  for (const auto& r : TheState().calls) {
    if (::CompareStringOrdinal(r.call.method, -1, method, -1, TRUE) == CSTR_EQUAL) ++n;
  }
  return n;
}

const TestSoCall* WINAPI LastCall(const WCHAR* method) {
  Guard g(TheState().lock);
  auto& calls = TheState().calls;
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (::CompareStringOrdinal(it->call.method, -1, method, -1, TRUE) == CSTR_EQUAL) {
      return &it->call;
    }
  }
  return nullptr;
}

UINT WINAPI NameRequestCount() {
  Guard g(TheState().lock);
  return static_cast<UINT>(TheState().names.size());
}

const TestSoNameRequest* WINAPI NameRequest(UINT index) {
  Guard g(TheState().lock);
  auto& names = TheState().names;
  return index < names.size() ? &names[index].request : nullptr;
}

// Result types that hold no resource, so the caller's VariantClear is safe.
bool IsPlainResultType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return true;
  }
  return false;
}

BOOL WINAPI SetResultVariant(const WCHAR* method, VARTYPE vt, LONG value) {
  Guard g(TheState().lock);
  MethodProgram* p = Program(method);
  if (!p || !IsPlainResultType(vt)) return FALSE;
  p->hasResult = true;
  p->resultVt = vt;
  p->resultValue = value;
  return TRUE;
}

BOOL WINAPI SetResult(const WCHAR* method, LONG value) {
  return SetResultVariant(method, VT_I4, value);
}

void WINAPI SetNumberProperty(LONG index, LONG value) {
  Guard g(TheState().lock);
  TheState().numbers[index] = value;
}

void WINAPI SetStringProperty(LONG index, const WCHAR* value) {
  Guard g(TheState().lock);
  TheState().strings[index].Set(value);
}

BOOL WINAPI LackName(const WCHAR* method) {
  Guard g(TheState().lock);
  for (auto& m : TheState().methods) m.lacking = false;
  if (!method) return TRUE;
  MethodProgram* p = Program(method);
  if (!p) return FALSE;
  p->lacking = true;
  return TRUE;
}

BOOL WINAPI FailInvoke(const WCHAR* method, HRESULT hr) {
  Guard g(TheState().lock);
  MethodProgram* p = Program(method);
  if (!p) return FALSE;
  p->failHr = hr;
  return TRUE;
}

BOOL WINAPI SetOutputNumber(const WCHAR* method, LONG value) {
  Guard g(TheState().lock);
  MethodProgram* p = Program(method);
  if (!p) return FALSE;
  p->hasOutNumber = true;
  p->outNumber = value;
  return TRUE;
}

BOOL WINAPI SetOutputText(const WCHAR* method, const WCHAR* value) {
  Guard g(TheState().lock);
  MethodProgram* p = Program(method);
  if (!p) return FALSE;
  p->hasOutText = true;
  p->outText.Set(value);
  return TRUE;
}

CallbackPlan ToPlan(const TestSoCallback& cb) {
  CallbackPlan s;
  s.kind = cb.kind;
  for (int i = 0; i < 3; ++i) s.values[i] = cb.values[i];
  s.refNumber = cb.refNumber;
  s.refText.Set(cb.refText);
  return s;
}

BOOL WINAPI AddCallback(const WCHAR* method, const TestSoCallback* callback) {
  Guard g(TheState().lock);
  MethodProgram* p = Program(method);
  if (!p || !callback) return FALSE;
  p->callbacks.push_back(ToPlan(*callback));
  return TRUE;
}

HRESULT WINAPI MakeCallback(const TestSoCallback* callback) {
  if (!callback) return E_POINTER;
  IDispatch* control;
  {
    Guard g(TheState().lock);
    control = TheState().lastControl;
  }
  return TheState().MakeCallback(control, ToPlan(*callback), nullptr);
}

BOOL WINAPI PostCallback(const TestSoCallback* callback) {
  return callback && testso::PostCallback(ToPlan(*callback)) ? TRUE : FALSE;
}

UINT WINAPI CallbackResultCount() {
  Guard g(TheState().lock);
  return static_cast<UINT>(TheState().callbacks.size());
}

const TestSoCallbackResult* WINAPI CallbackResult(UINT index) {
  Guard g(TheState().lock);
  auto& results = TheState().callbacks;
  return index < results.size() ? &results[index].result : nullptr;
}

IDispatch* WINAPI ControlDispatch() {
  Guard g(TheState().lock);
  return TheState().lastControl;
}

void WINAPI SetHoldControl(BOOL hold) {
  Guard g(TheState().lock);
  TheState().holdControl = hold != FALSE;
}

void WINAPI GetCounters(TestSoCounters* out) {
  if (!out) return;
  State& s = TheState();
  Guard g(s.lock);
  out->liveObjects = s.liveObjects;
  out->objectRefs = s.objectRefs;
  out->createdObjects = s.createdObjects;
  out->controlRefsHeld = s.controlRefsHeld;
  out->bstrsHandedOut = s.bstrsHandedOut;
  out->callerBstrsFreed = s.callerBstrsFreed;
  out->serverLocks = s.serverLocks.Count();
  out->freedInOwnCallback = s.freedInOwnCallback;
}

void WINAPI SetBenchMode(BOOL on) {
  Guard g(TheState().lock);
  TheState().benchMode = on != FALSE;
}

const TestSoApi kApi = {
    TESTSO_API_VERSION,
    sizeof(TestSoApi),
    Reset,
    CallCount,
    Call,
    CountCalls,
    LastCall,
    NameRequestCount,
    NameRequest,
    SetResult,
    SetResultVariant,
    SetNumberProperty,
    SetStringProperty,
    LackName,
    FailInvoke,
    SetOutputNumber,
    SetOutputText,
    AddCallback,
    MakeCallback,
    PostCallback,
    CallbackResultCount,
    CallbackResult,
    ControlDispatch,
    SetHoldControl,
    GetCounters,
    SetBenchMode,
};

}  // namespace
}  // namespace testso

extern "C" const TestSoApi* WINAPI TestSo_Api() {
  return &testso::kApi;
}
