#include "kerunel_wrapper.h"

#include <cstdio>
#include <string>

#include "kerunel_ids.h"
#include "opos.h"

namespace vostrik {
namespace {

const ControlData kKerunelData = {
    kr::kControlClsid,
    kr::kEventsIid,
    4,
    {KR_EVENT_DirectIOEvent, KR_EVENT_ErrorEvent, KR_EVENT_OutputIDEvent,
     KR_EVENT_StatusUpdateEvent},
    0,
    300,
};

// Methods go with the system's default locale, properties with locale 0.
constexpr LCID kMethodLocale = LOCALE_SYSTEM_DEFAULT;

// The trace line of every method call, for a debugger watching the program.
void TraceCall(DISPID dispid, HRESULT hr, VARTYPE resultType, UINT argErr) {
  char line[96];
  std::snprintf(line, sizeof line, "Inv(%d) %s, 0x%lX, retVT(0x%X), ErrArg(%d)\n",
                static_cast<int>(dispid), hr >= 0 ? "OK" : "FL", static_cast<unsigned long>(hr),
                static_cast<unsigned>(resultType), static_cast<int>(argErr));
  ::OutputDebugStringA(line);
}

}  // namespace

TKerunel::TKerunel() : TOleControl(kKerunelData) {}

IDispatch* TKerunel::Bind() {
  if (bound_) return bound_.get();
  IDispatch* dispatch = DefaultDispatch();
  if (!dispatch) {
    AssertionFailed(L"DefaultDispatch", __FILE__, __LINE__);
    return nullptr;
  }
  if (FAILED(dispatch->QueryInterface(kr::kDispatchIid, bound_.put_void()))) bound_.reset();
  return bound_.get();
}

LONG TKerunel::CallMethod(DISPID dispid, const Arg* args, size_t count) {
  kr::ComPtr<IDispatch> target(Bind());
  kr::UniqueVariant result;
  UINT argErr = static_cast<UINT>(-1);
  const HRESULT hr =
      target ? InvokeMethod(target.get(), dispid, kMethodLocale, args, count, result.get(), &argErr)
             : E_NOINTERFACE;
  TraceCall(dispid, hr, result->vt, argErr);
  // A call the control refused did not run: reporting success for it would
  // tell the technician the printer did something it never did.
  refused_ = FAILED(hr) || (result->vt != VT_EMPTY &&
                            FAILED(::VariantChangeType(result.get(), result.get(), 0, VT_I4)));
  if (refused_) return opos::OPOS_E_FAILURE;
  return result->vt == VT_EMPTY ? 0 : result->lVal;
}

void TKerunel::CallProcedure(DISPID dispid, const Arg* args, size_t count) {
  kr::ComPtr<IDispatch> target(Bind());
  UINT argErr = static_cast<UINT>(-1);
  const HRESULT hr =
      target ? InvokeMethod(target.get(), dispid, kMethodLocale, args, count, nullptr, &argErr)
             : E_NOINTERFACE;
  TraceCall(dispid, hr, VT_NULL, argErr);
  refused_ = FAILED(hr);
}

void AssertionFailed(const wchar_t* condition, const char* file, int line) {
  const char* base = file;
  for (const char* p = file; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  wchar_t text[512];
  std::swprintf(text, 512, L"Assertion failed: %ls\nFile: %hs, line %d", condition, base, line);
  const int answer =
      ::MessageBoxW(nullptr, text, kAssertionCaption, MB_YESNOCANCEL | MB_ICONERROR | MB_TASKMODAL);
  if (answer == IDNO) return;
  // Without a debugger a breakpoint would end the program: the technician
  // gets the error instead.
  if (answer == IDCANCEL && ::IsDebuggerPresent()) {
    ::DebugBreak();
    return;
  }
  throw OleError(E_UNEXPECTED, text);
}

}  // namespace vostrik
