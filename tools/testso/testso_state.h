// Process-wide state of the test Service Object: what tests programmed and
// what the object was asked. Shared by every instance and by the API table.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "com_server.h"
#include "testso_api.h"
#include "win_raii.h"

namespace testso {

constexpr int kMethodCount = TESTSO_METHOD_COUNT;
enum MethodIndex {
  kGetPropertyNumber = 0,
  kSetPropertyNumber = 1,
  kGetPropertyString = 2,
  kOpenService = 4,
  kClose = 5,
};

// Name of method index i (0..60); its DISPID on the object is i + 1.
const WCHAR* MethodName(int index);
// Index of a name, ignoring case; -1 when the object has no such method.
int FindMethod(const WCHAR* name);
inline DISPID DispidOf(int index) {
  return index + 1;
}
inline int IndexOf(DISPID id) {
  return id >= 1 && id <= kMethodCount ? id - 1 : -1;
}

// A text that may be a null string.
struct OptText {
  bool isNull = true;
  std::wstring text;
  void Set(const WCHAR* s) {
    isNull = s == nullptr;
    text = s ? s : L"";
  }
  const WCHAR* Ptr() const { return isNull ? nullptr : text.c_str(); }
  BSTR Alloc() const {
    return isNull ? nullptr : ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
};

struct CallbackPlan {
  TestSoCallbackKind kind = TESTSO_CB_STATUS_UPDATE;
  LONG values[3] = {};
  LONG refNumber = 0;
  OptText refText;
};

struct MethodProgram {
  bool hasResult = false;
  VARTYPE resultVt = VT_I4;
  LONG resultValue = 0;
  HRESULT failHr = S_OK;
  bool lacking = false;
  bool hasOutNumber = false;
  LONG outNumber = 0;
  bool hasOutText = false;
  OptText outText;
  std::vector<CallbackPlan> callbacks;
};

// Storage behind one TestSoCall: the strings its pointers refer to.
struct CallRecord {
  TestSoCall call{};
  OptText texts[TESTSO_MAX_ARGS];
};
struct NameRecord {
  TestSoNameRequest request{};
  std::wstring name;
};
struct CallbackRecord {
  TestSoCallbackResult result{};
  OptText refText;
};

class State {
 public:
  kr::CriticalSection lock;

  // Programmed behaviour.
  MethodProgram methods[kMethodCount];
  std::map<LONG, LONG> numbers;
  std::map<LONG, OptText> strings;
  bool benchMode = false;
  bool holdControl = true;

  // Records (deques: elements never move, so handed-out pointers stay valid).
  std::deque<CallRecord> calls;
  std::deque<NameRecord> names;
  std::deque<CallbackRecord> callbacks;

  // The control IDispatch last received in OpenService.
  IDispatch* lastControl = nullptr;

  // Counters (live ones are never reset).
  volatile LONG liveObjects = 0;
  volatile LONG objectRefs = 0;
  volatile LONG createdObjects = 0;
  volatile LONG controlRefsHeld = 0;
  volatile LONG bstrsHandedOut = 0;
  volatile LONG callerBstrsFreed = 0;
  volatile LONG freedInOwnCallback = 0;
  kr::ServerLocks serverLocks;

  void Reset();
  // Records one Invoke; returns the record so the caller can set its hr.
  CallRecord& RecordCall(int index, DISPID id, REFIID riid, LCID lcid, WORD flags,
                         const DISPPARAMS* params, bool wantsResult);
  void RecordName(const WCHAR* name, UINT count, LCID lcid, bool riidNull, HRESULT hr);
  // Makes one callback into control and records its outcome; returns the
  // Invoke status (or the lookup failure).
  HRESULT MakeCallback(IDispatch* control, const CallbackPlan& plan, const WCHAR* trigger);
};

State& TheState();

// Has the object that holds the control post `plan` to its own window;
// returns false when no object holds one.
bool PostCallback(const CallbackPlan& plan);

}  // namespace testso

namespace testso {

// Programming from another process (a test that drives a program which
// loads this object). KERUNEL_TESTSO_SCRIPT names a text file: before each
// call the object reads it and, when its text changed, replaces every
// programmed behaviour (not the records) with what it says, one
// tab-separated line each:
//   result <method> <value>            outnumber <method> <value>
//   number <index> <value>             outtext <method> <text>
//   string <index> <text>              fail <method> <hresult>
//   callback <method> status|output|error|directio <v0> <v1> <v2> <refNumber> <refText>
// KERUNEL_TESTSO_JOURNAL names a file to which every call and callback is
// appended as one tab-separated UTF-8 line:
//   call <method> <arg>...   with args as I4:5 BOOL:-1 CY:12345 BSTR:text I4&:5 BSTR&:text
//   callback <kind> <hresult> <refNumber> <refText>
void RemoteSync();
void RemoteJournalCall(const TestSoCall& call);
void RemoteJournalCallback(const TestSoCallbackResult& result);

}  // namespace testso
