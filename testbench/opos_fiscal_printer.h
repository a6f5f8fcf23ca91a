// TOPOSFiscalPrinter: the wrapper of the standard Fiscal Printer control
// (release 1.5) over the host component. The program builds it in but no
// window creates one. It goes through the IDispatch side of the standard
// control's dual interface: every member is resolved by name when the
// wrapper binds, and every call that returns a value has its status checked.
#pragma once

#include <string>
#include <vector>

#include "ole_control.h"

namespace vostrik {

// Caption of the box that reports a failed, checked call.
inline constexpr wchar_t kCheckedCallCaption[] = L"OLE call failed";

// clang-format off
// The nine published properties: name, type.
#define VOSTRIK_OPOS_PROPERTIES(X) \
  X(BinaryConversion, LONG)        \
  X(DeviceEnabled, bool)           \
  X(FreezeEvents, bool)            \
  X(PowerNotify, LONG)             \
  X(AsyncMode, bool)               \
  X(CheckTotal, bool)              \
  X(DuplicateReceipt, bool)        \
  X(FlagWhenIdle, bool)            \
  X(SlipSelection, LONG)
// clang-format on

class TOPOSFiscalPrinter : public TOleControl {
 public:
  TOPOSFiscalPrinter();

  // Calls the standard control's method `name` with `args` (first to last;
  // a boolean parameter takes any number, non-zero is true). For a method
  // that returns a value a failed call shows the checked-call box: Yes
  // raises OleError, No returns OPOS_E_FAILURE (the call wrote no result),
  // Cancel breaks into an attached debugger, else raises like Yes.
  // SODataDummy, SODirectIO, SOError, SOOutputComplete and SOStatusUpdate
  // are called without a check and return 0.
  LONG CallMethod(const wchar_t* name, const Arg* args, size_t count);
  LONG CallMethod(const wchar_t* name) { return CallMethod(name, nullptr, 0); }

  // The DISPID the control gave for a member or property name when bound;
  // DISPID_UNKNOWN when it does not know it or is not bound yet.
  DISPID DispidOf(const wchar_t* name) const;

#define VOSTRIK_OPOS_ACCESSORS(name, type) \
  type get_##name();                       \
  void set_##name(type value);
  VOSTRIK_OPOS_PROPERTIES(VOSTRIK_OPOS_ACCESSORS)
#undef VOSTRIK_OPOS_ACCESSORS

 private:
  struct Resolved {
    std::wstring name;
    DISPID dispid;
  };

  // Returns the bound interface, resolving every name on first use; shows
  // the "DefaultDispatch" assertion when there is no control.
  IDispatch* Bind();
  DISPID PropertyDispid(const wchar_t* name);

  std::vector<Resolved> resolved_;
};

}  // namespace vostrik
