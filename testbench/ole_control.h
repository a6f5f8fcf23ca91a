// TOleControl: the test bench's ActiveX host component. It creates a control
// by class identifier inside a window of its own, gives it a client site, an
// in-place site, a control site and the ambient properties of a container
// in user mode, loads its stored state, connects to its event interface and
// routes the events to four handler properties. Property access by DISPID
// and the raw method invocation are shared by the wrapper classes built on
// it (TKerunel, TOPOSFiscalPrinter).
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <ocidl.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "win_raii.h"

namespace vostrik {

// An error raised to the window (a refused property access, an answered
// assertion). The window shows its text in a message box and goes on.
class OleError : public std::exception {
 public:
  OleError(HRESULT status, std::wstring text) : status_(status), text_(std::move(text)) {}
  HRESULT status() const noexcept { return status_; }
  const std::wstring& text() const noexcept { return text_; }
  const char* what() const noexcept override { return "OLE error"; }

 private:
  HRESULT status_;
  std::wstring text_;
};

// The system's message text for a status without its line end, or an empty
// text when the system has none.
std::wstring SystemStatusText(HRESULT status);
// SystemStatusText, or "OLE error 0x80004005" when the system has no text.
std::wstring StatusText(HRESULT status);

// One argument of a method call. Strings and by-reference targets stay the
// caller's: the call borrows them and frees nothing.
struct Arg {
  VARTYPE vt = VT_EMPTY;
  union {
    LONG number;
    VARIANT_BOOL flag;
    BSTR text;
    CY currency;
    LONG* numberRef;
    BSTR* textRef;
  };

  Arg() : currency() {}
  static Arg Long(LONG value);
  static Arg Bool(bool value);
  static Arg Text(BSTR value);
  static Arg Currency(CY value);
  static Arg LongRef(LONG* target);
  static Arg TextRef(BSTR* target);
};

// The static record each wrapper class hands to the host.
constexpr int kEventHandlerCount = 4;
struct ControlData {
  CLSID classId;                            // the control to create
  IID eventIid;                             // its event interface
  int eventCount;                           // entries of eventDispids in use
  DISPID eventDispids[kEventHandlerCount];  // n-th entry answers the n-th handler
  DWORD flags;
  int version;
};

class TOleControl {
 public:
  // The four event handler properties; the n-th answers eventDispids[n].
  using DirectIOEventHandler =
      std::function<void(TOleControl& sender, LONG eventNumber, LONG* pData, BSTR* pString)>;
  using ErrorEventHandler =
      std::function<void(TOleControl& sender, LONG resultCode, LONG resultCodeExtended,
                         LONG errorLocus, LONG* pErrorResponse)>;
  using OutputCompleteEventHandler = std::function<void(TOleControl& sender, LONG outputId)>;

  DirectIOEventHandler OnDirectIOEvent;
  ErrorEventHandler OnErrorEvent;
  OutputCompleteEventHandler OnOutputCompleteEvent;
  OutputCompleteEventHandler OnStatusUpdateEvent;

  explicit TOleControl(const ControlData& data);
  virtual ~TOleControl();
  TOleControl(const TOleControl&) = delete;
  TOleControl& operator=(const TOleControl&) = delete;

  // Creates the control inside `window` (the component's own child window,
  // hidden when the control is invisible at run time), loads `state` into
  // it and connects its events. Returns S_OK, or the status of the failed
  // creation (for example REGDB_E_CLASSNOTREG); nothing is kept then.
  HRESULT Create(HWND window, const BYTE* state, size_t stateBytes);
  // Disconnects and releases the control; also done by the destructor.
  void Destroy();

  // The control's IDispatch, or nullptr when there is no control.
  IDispatch* DefaultDispatch() const { return dispatch_.get(); }
  HWND window() const { return window_; }
  DWORD miscStatus() const { return miscStatus_; }
  bool inPlaceActive() const { return inPlaceActive_; }

  // Property access by DISPID with locale 0. Each raises OleError, carrying
  // the control's exception text when it gives one, if the control refuses.
  kr::UniqueVariant GetProperty(DISPID dispid);
  void SetProperty(DISPID dispid, VARIANT value);
  LONG GetLongProp(DISPID dispid);
  bool GetBoolProp(DISPID dispid);
  std::wstring GetStringProp(DISPID dispid);
  void SetLongProp(DISPID dispid, LONG value);
  void SetBoolProp(DISPID dispid, bool value);
  void SetStringProp(DISPID dispid, const std::wstring& value);

  // Invokes `dispid` on `target` as a method with `args` (given first to
  // last); returns Invoke's status. `result` may be nullptr.
  static HRESULT InvokeMethod(IDispatch* target, DISPID dispid, LCID lcid, const Arg* args,
                              size_t count, VARIANT* result, UINT* argErr);

  // Routes one incoming event to its handler; returns S_OK, or
  // DISP_E_BADPARAMCOUNT / DISP_E_TYPEMISMATCH for arguments that do not fit.
  // Events without a DISPID in the record or without a handler are ignored.
  HRESULT DispatchEvent(DISPID dispid, DISPPARAMS* params);

  // The in-place site's view of the component.
  HRESULT GetWindowContext(RECT* position, RECT* clip) const;
  void OnInPlaceActive(bool active) { inPlaceActive_ = active; }

 protected:
  const ControlData& data() const { return data_; }

  // The interface a wrapper bound to; it goes with the control at Destroy,
  // which would otherwise live on until the wrapper does.
  kr::ComPtr<IDispatch> bound_;

 private:
  class Site;
  class EventSink;

  void LoadState(const BYTE* state, size_t stateBytes);
  void ConnectEvents();

  const ControlData& data_;
  HWND window_ = nullptr;
  DWORD miscStatus_ = 0;
  bool inPlaceActive_ = false;
  kr::ComPtr<IUnknown> control_;
  kr::ComPtr<IOleObject> oleObject_;
  kr::ComPtr<IDispatch> dispatch_;
  kr::ComPtr<IConnectionPoint> eventPoint_;
  DWORD eventCookie_ = 0;
  Site* site_ = nullptr;
  EventSink* sink_ = nullptr;
};

}  // namespace vostrik
