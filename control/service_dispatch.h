// CServiceDispatch: the control's binding to its Service Object. It creates
// the object, binds the 61 method names once, and is the one place through
// which every call reaches the object (CallService) and every failed call
// is reported to the user (ReportCallFailure).
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oleauto.h>

#include <vector>

#include "ansi_text.h"
#include "service_callbacks.h"
#include "service_methods.h"
#include "win_raii.h"

namespace kr {

constexpr UINT kMaxServiceArgs = 6;

// The argument list of one service call, built in the caller's order and
// stored last-first as Invoke expects. The control's dispatch path converts
// its caller's arguments straight into one, so that a forwarded call hands
// them on without another copy. Strings made for the call belong to the
// list and are freed once when it goes away; caller's strings handed on as
// they are and by-reference arguments stay the caller's. Fixed storage:
// building a call allocates nothing beyond the strings it makes.
class ServiceArgs {
 public:
  explicit ServiceArgs(UINT count) : count_(count <= kMaxServiceArgs ? count : 0) {
    for (UINT i = 0; i < count_; ++i) args_[i].vt = VT_EMPTY;
  }
  ~ServiceArgs() {
    for (UINT i = 0; i < ownedCount_; ++i) ::SysFreeString(owned_[i]);
  }
  ServiceArgs(const ServiceArgs&) = delete;
  ServiceArgs& operator=(const ServiceArgs&) = delete;

  void AddLong(LONG value) { Next(VT_I4)->lVal = value; }
  void AddBool(VARIANT_BOOL value) { Next(VT_BOOL)->boolVal = value; }
  void AddCurrency(CY value) { Next(VT_CY)->cyVal = value; }
  // A new wide string converted from ANSI `text` (null stays null).
  void AddString(const char* text) { AddOwnedString(AnsiToBstr(text)); }
  // A string argument: the caller's own string when the round trip through
  // the code page would not change it (the Service Object does not own an
  // in-argument either way), else a new string made by the round trip.
  void AddText(TextArgument& text) {
    if (text.SurvivesRoundTrip()) {
      Next(VT_BSTR)->bstrVal = text.Caller();
    } else {
      AddOwnedString(text.NewString());
    }
  }
  void AddLongRef(LONG* target) { Next(VT_BYREF | VT_I4)->plVal = target; }
  void AddStringRef(BSTR* target) { Next(VT_BYREF | VT_BSTR)->pbstrVal = target; }
  // Passed without a reference of its own.
  void AddDispatch(IDispatch* value) { Next(VT_DISPATCH)->pdispVal = value; }

  // Adds a caller's argument as the parameter type `type` (VT_I4, VT_BOOL,
  // VT_CY, VT_BSTR, VT_BYREF|VT_I4 or VT_BYREF|VT_BSTR), marshalled as the
  // Service Object takes it: a boolean as 1 or 0, a string by AddText.
  // Returns S_OK, or DISP_E_TYPEMISMATCH with nothing added.
  HRESULT AddArgument(VARIANTARG* source, VARTYPE type) {
    if (source->vt != type || (type & VT_BYREF)) return AddConverted(source, type);
    return AddValue(*source);
  }
  // Argument i in the order added.
  const VARIANTARG& operator[](UINT i) const { return args_[count_ - 1 - i]; }

  DISPPARAMS* params() {
    params_ = {count_ ? args_ : nullptr, nullptr, count_, 0};
    return &params_;
  }

 private:
  VARIANTARG* Next(VARTYPE type) {
    VARIANTARG* slot = added_ < count_ ? &args_[count_ - 1 - added_] : &overflow_;
    ++added_;
    slot->vt = type;
    return slot;
  }
  // Passes `value` on and frees it after the call.
  void AddOwnedString(BSTR value);
  // AddArgument for a value that already has its parameter type.
  HRESULT AddValue(const VARIANT& value) {
    switch (value.vt) {
      case VT_I4:
        AddLong(value.lVal);
        return S_OK;
      case VT_BOOL:
        AddBool(value.boolVal ? 1 : 0);
        return S_OK;
      case VT_CY:
        AddCurrency(value.cyVal);
        return S_OK;
      case VT_BSTR: {
        TextArgument text;
        text.Assign(value.bstrVal);
        AddText(text);
        return S_OK;
      }
      default:
        return DISP_E_TYPEMISMATCH;
    }
  }
  // AddArgument for a by-reference argument, or one of another type.
  HRESULT AddConverted(VARIANTARG* source, VARTYPE type);

  VARIANTARG args_[kMaxServiceArgs];
  VARIANTARG overflow_;  // absorbs adds beyond the declared count
  // The strings made for the call, freed with the list; only as many as
  // were made are touched, so a call that makes none pays nothing.
  BSTR owned_[kMaxServiceArgs];
  UINT ownedCount_ = 0;
  DISPPARAMS params_{};
  UINT count_;
  UINT added_ = 0;
};

class CServiceDispatch {
 public:
  // `control` is the dispatch interface the Service Object's callbacks
  // reach, through a callback object of the binding's own.
  explicit CServiceDispatch(IDispatch* control);
  ~CServiceDispatch();
  CServiceDispatch(const CServiceDispatch&) = delete;
  CServiceDispatch& operator=(const CServiceDispatch&) = delete;

  // Creates the object named by a ProgID or a braced class identifier and
  // keeps its IDispatch; returns false (nothing kept) on any failure.
  bool CreateService(const char* text);
  // Fills the DISPID slots, one name per request; returns false at the
  // first name the object does not know.
  bool BindMethods();
  // Gives up the binding's reference: now, or when the Service Object's code
  // that is still running below the caller has returned (see KeepAlive).
  void ReleaseService();

  // The object the Service Object calls back through; it counts the
  // callbacks under way (nullptr only when it could not be made).
  CServiceCallbacks* Callbacks() const { return m_callbacks.get(); }

  // While one lives, a binding released meanwhile is kept until the last one
  // ends: the Service Object's code is still running below it, in a call the
  // control made to it. Released inside a callback the Service Object made
  // on its own, the binding waits for the thread's next message pumping,
  // since only then has the Service Object's code returned.
  class KeepAlive {
   public:
    explicit KeepAlive(CServiceDispatch& binding) : m_binding(binding) { ++m_binding.m_callDepth; }
    ~KeepAlive() {
      if (--m_binding.m_callDepth == 0) m_binding.DropRetired();
    }
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;

   private:
    CServiceDispatch& m_binding;
  };

  // The call primitive: returns the method's 32-bit result, or 0 after a
  // failed call, which is reported with the method's failure text (silently
  // for a method that has none).
  LONG CallService(ServiceMethod index, ServiceArgs& args);

  // Hands the Service Object the callback object; returns its open result
  // (0 when it accepted), or OPOS_E_NOSERVICE when the call itself failed
  // (after the report).
  LONG OpenService(const char* deviceClass, const char* deviceName);
  // Returns the Service Object's "Close" result.
  LONG Close();
  // Returns the property's value, or 0 when the call failed (no report).
  LONG GetPropertyNumber(LONG propertyIndex);
  // Returns the call status; no result is asked for and nothing is shown.
  HRESULT SetPropertyNumber(LONG propertyIndex, LONG value);
  // Returns a new string for the caller: the Service Object's text after
  // the round trip through the thread's ANSI code page, or an empty string
  // after a failed (reported) call.
  BSTR GetPropertyString(LONG propertyIndex);
  // Passes the container's freeze state on; the result is ignored.
  void COFreezeEvents(VARIANT_BOOL freeze);

  // Shows the modal failure report: the text, a blank line and the
  // system's text for `status`, captioned with the module's name.
  static void ReportCallFailure(const wchar_t* text, HRESULT status);

 private:
  // The call primitive's core: stores the 32-bit result (0 after a failure)
  // and returns the call status; a failure is reported as CallService says.
  HRESULT CallForValue(ServiceMethod index, ServiceArgs& args, LONG* value);
  // One Invoke on the Service Object; returns its status.
  HRESULT Invoke(ServiceMethod index, ServiceArgs& args, VARIANT* result);
  // Releases the bindings kept by KeepAlive.
  void DropRetired();
  // Releases a binding now, or at the next message pumping while a
  // callback of the Service Object's own is under way.
  void Drop(ComPtr<IDispatch> binding);

  ComPtr<CServiceCallbacks> m_callbacks;
  ComPtr<IDispatch> m_lpDispatch;
  DISPID m_dispid[kServiceMethodCount] = {};
  // A binding released while the object's code runs (a handler closed the
  // control) is kept until the outermost KeepAlive ends.
  int m_callDepth = 0;
  std::vector<ComPtr<IDispatch>> m_retired;
};

}  // namespace kr
