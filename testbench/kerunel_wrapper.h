// TKerunel: the wrapper of the Kerunel control (_DKerunel) over the host
// component. Its members are generated from the control's interface
// definition (kerunel_members.inc): one typed method per method and a
// get_/set_ accessor pair per property, each going by DISPID through one
// call path.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>

#include "kerunel_dispids.h"
#include "ole_control.h"

namespace vostrik {

// A member of the control's type library as the wrapper sees it.
constexpr int kMaxTlbParams = 6;
struct TlbMember {
  const char* name;  // the type library's spelling (ResetPrinter as ResetPrinterA)
  DISPID dispid;
  bool isProperty;
  VARTYPE type;  // property value (VT_I1 for the ones the wrapper treats as bool)
                 // or method result (VT_EMPTY for none)
  uint8_t paramCount;
  VARTYPE params[kMaxTlbParams];
};

// clang-format off
#define KR_VT_long VT_I4
#define KR_VT_BSTR VT_BSTR
#define KR_VT_char VT_I1
#define KR_VT_void VT_EMPTY
#define KR_UNPAREN(...) __VA_ARGS__
inline constexpr TlbMember kKerunelMembers[] = {
#define KR_TLB_PROPERTY(name, dispid, type) {#name, dispid, true, KR_VT_##type, 0, {}},
#define KR_TLB_METHOD(ret, name, dispid, count, params, args, vts) \
  {#name, dispid, false, KR_VT_##ret, count, {KR_UNPAREN vts}},
#include "kerunel_members.inc"
#undef KR_TLB_PROPERTY
#undef KR_TLB_METHOD
};
// clang-format on

// The wrapper's member with this DISPID, or nullptr.
constexpr const TlbMember* FindKerunelMember(DISPID dispid) {
  for (const TlbMember& m : kKerunelMembers) {
    if (m.dispid == dispid) return &m;
  }
  return nullptr;
}

// Text of a failed binding's assertion box, and the box's caption.
inline constexpr wchar_t kAssertionCaption[] = L"Assertion failed";

class TKerunel : public TOleControl {
 public:
  TKerunel();

  // Calls method `dispid` with `args`; returns its result as a long, or
  // OPOS_E_FAILURE when the control refused the call (the trace line tells
  // why). Never raises, except for an answered binding assertion.
  LONG CallMethod(DISPID dispid, const Arg* args, size_t count);
  // The same for a method without a result.
  void CallProcedure(DISPID dispid, const Arg* args, size_t count);
  // Whether the control refused the last method call (its OPOS_E_FAILURE
  // is the wrapper's, not the Service Object's: ResultCode does not show it).
  bool LastCallRefused() const { return refused_; }

  // The bound _DKerunel; binds on first use (see Bind).
  IDispatch* DefaultInterface() { return Bind(); }

  // Generated members.
  // clang-format off
#define KR_ACCESSORS_long(name, dispid) \
  LONG get_##name() { return GetLongProp(dispid); } \
  void set_##name(LONG value) { SetLongProp(dispid, value); }
#define KR_ACCESSORS_char(name, dispid) \
  bool get_##name() { return GetBoolProp(dispid); } \
  void set_##name(bool value) { SetBoolProp(dispid, value); }
#define KR_ACCESSORS_BSTR(name, dispid) \
  std::wstring get_##name() { return GetStringProp(dispid); } \
  void set_##name(const std::wstring& value) { SetStringProp(dispid, value); }
#define KR_TLB_PROPERTY(name, dispid, type) KR_ACCESSORS_##type(name, dispid)
#define KR_TLB_METHOD(ret, name, dispid, count, params, args, vts) \
  ret name params { return Call<ret>(dispid, std::make_tuple args); }
#include "kerunel_members.inc"
#undef KR_TLB_PROPERTY
#undef KR_TLB_METHOD
#undef KR_ACCESSORS_long
#undef KR_ACCESSORS_char
#undef KR_ACCESSORS_BSTR
  // clang-format on

 private:
  // Returns the bound interface. The first call asks the host for the
  // control's IDispatch and queries it for _DKerunel; without one it shows
  // the "DefaultDispatch" assertion box (Yes raises OleError, No goes on
  // with no interface).
  IDispatch* Bind();

  static Arg ToArg(LONG v) {
    return Arg::Long(v);
  }
  static Arg ToArg(BSTR v) {
    return Arg::Text(v);
  }
  static Arg ToArg(CY v) {
    return Arg::Currency(v);
  }
  static Arg ToArg(LONG* v) {
    return Arg::LongRef(v);
  }
  static Arg ToArg(BSTR* v) {
    return Arg::TextRef(v);
  }

  bool refused_ = false;

  template <typename R, typename... T>
  R Call(DISPID dispid, std::tuple<T...> values) {
    return std::apply(
        [this, dispid](auto... v) -> R {
          Arg args[sizeof...(T) + 1] = {ToArg(v)...};
          if constexpr (std::is_void_v<R>) {
            CallProcedure(dispid, args, sizeof...(T));
          } else {
            return CallMethod(dispid, args, sizeof...(T));
          }
        },
        values);
  }
};

// Shows a task-modal Yes/No/Cancel assertion box naming `condition`, the
// source file and line. Yes raises OleError; Cancel breaks into a debugger
// when one is attached and otherwise raises like Yes; No returns.
void AssertionFailed(const wchar_t* condition, const char* file, int line);

}  // namespace vostrik
