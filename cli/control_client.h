// A Kerunel control driven like an application drives it: created by its
// class, its members called by name with the control's own parameter
// types, its events received through a sink on its connection point, and
// the thread's messages pumped while waiting. Used by kerunel-cli, the
// end-to-end tests and the road benchmark. Runs on one single-threaded
// apartment thread.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <ocidl.h>
#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "member_table.h"
#include "win_raii.h"

namespace kcli {

// One event as it arrived.
struct EventRecord {
  DISPID dispid;                 // 1 DirectIO, 2 Error, 3 OutputComplete, 4 StatusUpdate
  long values[3];                // the event's long arguments in order
  long response;                 // ErrorEvent: the answer the sink gave
  std::string Describe() const;  // "StatusUpdateEvent 11", ...
};

// The name under which a container knows an event.
const char* EventName(DISPID dispid);

// Arguments of one call, in the member's parameter order. Strings given by
// value belong to the list; by-reference arguments point at the caller's
// variables.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args();

  Args& Long(long value);
  Args& Text(const std::wstring& value);
  Args& Bool(bool value);
  Args& Currency(int64_t raw);  // the amount x 10000
  Args& LongRef(long* target);
  Args& TextRef(BSTR* target);
  size_t Count() const { return values_.size(); }
  // The list last-first, as Invoke takes it.
  DISPPARAMS Params();

 private:
  std::vector<VARIANT> values_;
  std::vector<VARIANT> reversed_;
};

// Members of any control by member-table name. A method returns its 32-bit
// result, or sets *hr and returns -1 when the call itself failed; a
// property write (booleans as 0/1) returns the HRESULT.
long CallMember(IDispatch* control, const char* method, Args& args, HRESULT* hr = nullptr);
inline long CallMember(IDispatch* control, const char* method) {
  Args none;
  return CallMember(control, method, none);
}
HRESULT SetMember(IDispatch* control, const char* property, long value);

class ControlClient {
 public:
  ControlClient() = default;
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;
  ~ControlClient();

  // Creates the control: from the registered class, or straight from a
  // module file when modulePath is given; connects the event sink. Returns
  // the HRESULT.
  HRESULT Create(const wchar_t* modulePath = nullptr);
  IDispatch* Control() const { return control_.get(); }

  // A method by member-table name; returns its 32-bit result, or sets *hr
  // and returns -1 when the call itself failed.
  long Call(const char* method, Args& args, HRESULT* hr = nullptr);
  long Call(const char* method) {
    Args none;
    return Call(method, none);
  }
  // Properties by name: numbers (booleans as 0/1) and strings.
  long Get(const char* property, HRESULT* hr = nullptr);
  std::wstring GetText(const char* property, HRESULT* hr = nullptr);
  HRESULT Set(const char* property, long value);

  // The answer an ErrorEvent gets: by default the one the control proposes.
  std::function<long(const EventRecord&)> onError;
  // Called for every event as it arrives (after it is recorded).
  std::function<void(const EventRecord&)> onEvent;
  const std::vector<EventRecord>& Events() const { return events_; }
  void ClearEvents() { events_.clear(); }
  size_t Count(DISPID dispid) const;

  // Dispatches this thread's pending messages.
  static void Pump();
  // Pumps until done() holds (true) or timeoutMs passes (false).
  static bool PumpUntil(const std::function<bool()>& done, int timeoutMs);

  // Used by the sink.
  void Record(const EventRecord& e);

 private:
  class Sink;
  // Reads `property` into `value`; returns the HRESULT, DISP_E_UNKNOWNNAME
  // for a name that is not a property or with no control.
  HRESULT ReadProperty(const char* property, VARIANT* value);

  kr::UniqueModule module_;
  kr::ComPtr<IDispatch> control_;
  kr::ComPtr<IConnectionPoint> point_;
  Sink* sink_ = nullptr;
  DWORD cookie_ = 0;
  std::vector<EventRecord> events_;
};

}  // namespace kcli
