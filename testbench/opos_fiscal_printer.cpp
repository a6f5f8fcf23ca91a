#include "opos_fiscal_printer.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "kerunel_wrapper.h"
#include "opos.h"

namespace vostrik {
namespace {

// {CCB90072-B81E-11D2-AB74-0040054C3719}, events {CCB90073-...}, dual
// interface {CCB91071-...}.
constexpr CLSID kFiscalPrinterClsid = {
    0xCCB90072, 0xB81E, 0x11D2, {0xAB, 0x74, 0x00, 0x40, 0x05, 0x4C, 0x37, 0x19}};
constexpr IID kFiscalPrinterEventsIid = {
    0xCCB90073, 0xB81E, 0x11D2, {0xAB, 0x74, 0x00, 0x40, 0x05, 0x4C, 0x37, 0x19}};
constexpr IID kFiscalPrinterDualIid = {
    0xCCB91071, 0xB81E, 0x11D2, {0xAB, 0x74, 0x00, 0x40, 0x05, 0x4C, 0x37, 0x19}};

const ControlData kFiscalPrinterData = {
    kFiscalPrinterClsid, kFiscalPrinterEventsIid, 4, {2, 3, 4, 5}, 0, 300,
};

// Where the standard's method list differs from the Kerunel one.
struct Rename {
  const char* kerunel;
  const wchar_t* standard;
};
constexpr Rename kRenames[] = {
    {"Claim", L"ClaimDevice"},
    {"Release_", L"ReleaseDevice"},
    {"ResetPrinterA", L"ResetPrinter"},
};
struct BooleanParam {
  const char* method;
  int param;
};
constexpr BooleanParam kBooleanParams[] = {
    {"SetHeaderLine", 2},
    {"SetTrailerLine", 2},
    {"BeginFiscalReceipt", 0},
    {"EndFiscalReceipt", 0},
};

struct Method {
  std::wstring name;
  VARTYPE result;  // VT_EMPTY: called without a check
  uint8_t paramCount;
  VARTYPE params[kMaxTlbParams];
};

std::wstring Widen(const char* s) {
  std::wstring w;
  while (*s) w.push_back(static_cast<wchar_t>(*s++));
  return w;
}

// The standard control's methods: the Kerunel methods under the standard's
// names and types, without AboutBox, with SODataDummy.
const std::vector<Method>& Methods() {
  static const std::vector<Method> methods = [] {
    std::vector<Method> list;
    for (const TlbMember& m : kKerunelMembers) {
      if (m.isProperty || m.dispid == KR_DISPID_AboutBox) continue;
      Method s{Widen(m.name), m.type, m.paramCount, {}};
      for (int i = 0; i < m.paramCount; ++i) s.params[i] = m.params[i];
      for (const Rename& r : kRenames) {
        if (std::strcmp(r.kerunel, m.name) == 0) s.name = r.standard;
      }
      for (const BooleanParam& b : kBooleanParams) {
        if (std::strcmp(b.method, m.name) == 0) s.params[b.param] = VT_BOOL;
      }
      list.push_back(s);
    }
    list.push_back({L"SODataDummy", VT_EMPTY, 1, {VT_I4}});
    return list;
  }();
  return methods;
}

const Method* FindMethod(const wchar_t* name) {
  for (const Method& m : Methods()) {
    if (m.name == name) return &m;
  }
  return nullptr;
}

constexpr const wchar_t* kPropertyNames[] = {
#define VOSTRIK_OPOS_NAME(name, type) L## #name,
    VOSTRIK_OPOS_PROPERTIES(VOSTRIK_OPOS_NAME)
#undef VOSTRIK_OPOS_NAME
};

// The call as the box shows it: ClaimDevice(1000), PrintRecMessage("text").
std::wstring CallText(const std::wstring& name, const Arg* args, size_t count) {
  std::wstring text = name + L"(";
  for (size_t i = 0; i < count; ++i) {
    if (i) text += L", ";
    wchar_t number[48];
    switch (args[i].vt) {
      case VT_I4:
        std::swprintf(number, 48, L"%ld", static_cast<long>(args[i].number));
        text += number;
        break;
      case VT_BOOL:
        text += args[i].flag ? L"true" : L"false";
        break;
      case VT_BSTR:
        text += L"\"" + std::wstring(args[i].text ? args[i].text : L"") + L"\"";
        break;
      case VT_CY:
        std::swprintf(number, 48, L"%lld/10000", static_cast<long long>(args[i].currency.int64));
        text += number;
        break;
      default:
        text += L"&";
        break;
    }
  }
  return text + L")";
}

// Returns normally when the user chose No; see CallMethod for the others.
void ReportFailedCall(const std::wstring& call, HRESULT hr, const char* file, int line) {
  std::wstring message = SystemStatusText(hr);
  if (message.empty()) {
    wchar_t code[48];
    std::swprintf(code, 48, L"0x%08lX (%ld)", static_cast<unsigned long>(hr),
                  static_cast<long>(hr));
    message = code;
  }
  const char* base = file;
  for (const char* p = file; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  wchar_t where[160];
  std::swprintf(where, 160, L"\nFile: %hs, line %d", base, line);
  const std::wstring text = call + L"\n" + message + where;
  const int answer = ::MessageBoxW(nullptr, text.c_str(), kCheckedCallCaption,
                                   MB_YESNOCANCEL | MB_ICONERROR | MB_TASKMODAL);
  if (answer == IDNO) return;
  if (answer == IDCANCEL && ::IsDebuggerPresent()) {
    ::DebugBreak();
    return;
  }
  throw OleError(hr, text);
}

}  // namespace

TOPOSFiscalPrinter::TOPOSFiscalPrinter() : TOleControl(kFiscalPrinterData) {}

IDispatch* TOPOSFiscalPrinter::Bind() {
  if (bound_) return bound_.get();
  IDispatch* dispatch = DefaultDispatch();
  if (!dispatch) {
    AssertionFailed(L"DefaultDispatch", __FILE__, __LINE__);
    return nullptr;
  }
  // The dual interface's dispatch side; a control that only answers
  // IDispatch is driven through that.
  if (FAILED(dispatch->QueryInterface(kFiscalPrinterDualIid, bound_.put_void()))) {
    bound_ = kr::ComPtr<IDispatch>(dispatch);
  }
  resolved_.clear();
  auto resolve = [this](const std::wstring& name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    if (FAILED(bound_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
      id = DISPID_UNKNOWN;
    }
    resolved_.push_back({name, id});
  };
  for (const Method& m : Methods()) resolve(m.name);
  for (const wchar_t* p : kPropertyNames) resolve(p);
  return bound_.get();
}

DISPID TOPOSFiscalPrinter::DispidOf(const wchar_t* name) const {
  for (const Resolved& r : resolved_) {
    if (r.name == name) return r.dispid;
  }
  return DISPID_UNKNOWN;
}

LONG TOPOSFiscalPrinter::CallMethod(const wchar_t* name, const Arg* args, size_t count) {
  const Method* method = FindMethod(name);
  kr::ComPtr<IDispatch> target(Bind());
  std::vector<Arg> converted(args, args + count);
  HRESULT hr = S_OK;
  if (!method) {
    hr = DISP_E_UNKNOWNNAME;
  } else if (count != method->paramCount) {
    hr = DISP_E_BADPARAMCOUNT;
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (method->params[i] == VT_BOOL && args[i].vt == VT_I4) {
        converted[i] = Arg::Bool(args[i].number != 0);
      }
    }
  }
  const bool checked = !method || method->result != VT_EMPTY;
  kr::UniqueVariant result;
  if (SUCCEEDED(hr)) {
    const DISPID dispid = DispidOf(method->name.c_str());
    hr = !target ? E_NOINTERFACE
         : dispid == DISPID_UNKNOWN
             ? DISP_E_UNKNOWNNAME
             : InvokeMethod(target.get(), dispid, LOCALE_USER_DEFAULT, converted.data(), count,
                            checked ? result.get() : nullptr, nullptr);
  }
  if (!checked) return 0;
  if (FAILED(hr)) {
    ReportFailedCall(CallText(name, converted.data(), count), hr, __FILE__, __LINE__);
    return opos::OPOS_E_FAILURE;
  }
  if (result->vt == VT_EMPTY) return 0;
  if (FAILED(::VariantChangeType(result.get(), result.get(), 0, VT_I4))) {
    return opos::OPOS_E_FAILURE;
  }
  return result->lVal;
}

DISPID TOPOSFiscalPrinter::PropertyDispid(const wchar_t* name) {
  Bind();
  const DISPID id = DispidOf(name);
  if (id == DISPID_UNKNOWN) throw OleError(DISP_E_UNKNOWNNAME, StatusText(DISP_E_UNKNOWNNAME));
  return id;
}

// clang-format off
#define VOSTRIK_OPOS_GET_LONG GetLongProp
#define VOSTRIK_OPOS_GET_bool GetBoolProp
#define VOSTRIK_OPOS_SET_LONG SetLongProp
#define VOSTRIK_OPOS_SET_bool SetBoolProp
#define VOSTRIK_OPOS_ACCESSORS(name, type)                                 \
  type TOPOSFiscalPrinter::get_##name() {                                  \
    return VOSTRIK_OPOS_GET_##type(PropertyDispid(L## #name));             \
  }                                                                        \
  void TOPOSFiscalPrinter::set_##name(type value) {                        \
    VOSTRIK_OPOS_SET_##type(PropertyDispid(L## #name), value);             \
  }
VOSTRIK_OPOS_PROPERTIES(VOSTRIK_OPOS_ACCESSORS)
#undef VOSTRIK_OPOS_ACCESSORS
// clang-format on

}  // namespace vostrik
