// Test Service Object: the plain C table through which a test in the same
// process programs the object and reads what it was asked. No C++ types cross
// the module boundary; every string the table hands out is owned by the
// module and stays valid until the next Reset().
//
//   HMODULE m = LoadLibraryW(L"TestServiceObject.dll");
//   auto get = (TestSoGetApiFn)GetProcAddress(m, "TestSo_Api");
//   const TestSoApi* so = get();
//
// Method names are the 61 names the object answers (matched ignoring case).
// Programming is process-wide: it applies to every instance of the object,
// which matters because every Open of the control creates a fresh one.
#ifndef KERUNEL_TESTSO_API_H
#define KERUNEL_TESTSO_API_H

#include <oaidl.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Class of the object; DllRegisterServer writes it with the ProgID below.
// {A78AEBB7-0166-4230-9FF4-5943CB813F22}
#define TESTSO_CLSID_STRING L"{A78AEBB7-0166-4230-9FF4-5943CB813F22}"
#define TESTSO_CLSID_INIT                            \
  {                                                  \
    0xA78AEBB7, 0x0166, 0x4230, {                    \
      0x9F, 0xF4, 0x59, 0x43, 0xCB, 0x81, 0x3F, 0x22 \
    }                                                \
  }
#define TESTSO_PROGID L"KerunelTest.ServiceObject"
#define TESTSO_MODULE L"TestServiceObject.dll"
#define TESTSO_API_EXPORT "TestSo_Api"
#define TESTSO_API_VERSION 1

#define TESTSO_MAX_ARGS 8       // arguments kept per recorded call
#define TESTSO_METHOD_COUNT 61  // names answered by GetIDsOfNames

// One argument as the object received it.
typedef struct TestSoArg {
  VARTYPE vt;           // the variant type as passed, VT_BYREF included
  LONG number;          // VT_I4/VT_I2/VT_I1/VT_UI1/VT_BOOL value, or *ref for VT_BYREF|VT_I4
  LONGLONG currency;    // VT_CY int64 (amount x 10000)
  const WCHAR* text;    // VT_BSTR, or *ref for VT_BYREF|VT_BSTR; NULL for a null BSTR
  UINT textLength;      // SysStringLen of that string
  const void* pointer;  // the BSTR itself, the by-reference address, or the VT_DISPATCH pointer
} TestSoArg;

// One Invoke on the object, arguments in call order (the first parameter
// first, although Invoke receives them last-first).
typedef struct TestSoCall {
  const WCHAR* method;  // the object's spelling of the name; L"" for an unknown DISPID
  DISPID dispid;
  LCID lcid;
  WORD flags;          // DISPATCH_METHOD, ...
  BOOL riidIsNull;     // the interface identifier was IID_NULL
  BOOL wantsResult;    // a result variant was passed
  UINT argCount;       // cArgs as passed (args[] holds the first TESTSO_MAX_ARGS)
  UINT namedArgCount;  // cNamedArgs
  TestSoArg args[TESTSO_MAX_ARGS];
  HRESULT hr;  // what Invoke returned
} TestSoCall;

// One GetIDsOfNames request made to the object.
typedef struct TestSoNameRequest {
  const WCHAR* name;  // first name asked
  UINT nameCount;     // cNames
  LCID lcid;
  BOOL riidIsNull;
  HRESULT hr;
} TestSoNameRequest;

// A callback into the control, by its member name (looked up on the control
// with locale 0, then invoked as a method with locale 0).
typedef enum TestSoCallbackKind {
  TESTSO_CB_STATUS_UPDATE = 1,    // SOStatusUpdate(values[0])
  TESTSO_CB_OUTPUT_COMPLETE = 2,  // SOOutputComplete(values[0])
  TESTSO_CB_ERROR = 3,            // SOError(values[0], values[1], values[2], &refNumber)
  TESTSO_CB_DIRECT_IO = 4,        // SODirectIO(values[0], &refNumber, &refText)
  TESTSO_CB_PROCESS_ID = 5        // SOProcessID()
} TestSoCallbackKind;

typedef struct TestSoCallback {
  TestSoCallbackKind kind;
  LONG values[3];
  LONG refNumber;        // initial value of the by-reference number
  const WCHAR* refText;  // initial by-reference string; NULL passes a null BSTR
} TestSoCallback;

// What one callback came back with.
typedef struct TestSoCallbackResult {
  TestSoCallbackKind kind;
  const WCHAR* trigger;  // method during which it was made; NULL when made on demand
  HRESULT nameHr;        // GetIDsOfNames on the control
  DISPID dispid;
  HRESULT hr;            // Invoke on the control (nameHr when the lookup failed)
  VARTYPE resultVt;      // type of the result variant
  LONG resultNumber;     // its 32-bit value (SOProcessID)
  LONG refNumber;        // the by-reference number after the call
  const WCHAR* refText;  // the by-reference string after the call; NULL when null
} TestSoCallbackResult;

// Counters for leak checks. Live values are true at the moment of reading;
// "since reset" values start again at Reset().
typedef struct TestSoCounters {
  LONG liveObjects;         // object instances not yet destroyed
  LONG objectRefs;          // outstanding references on all live instances
  LONG createdObjects;      // instances created since reset
  LONG controlRefsHeld;     // references held on the control's IDispatch (taken in
                            // OpenService, dropped in Close or on destruction)
  LONG bstrsHandedOut;      // strings allocated and handed to callers since reset
                            // (GetPropertyString results, by-reference outputs)
  LONG callerBstrsFreed;    // callers' strings freed when a by-reference output replaced them
  LONG serverLocks;         // IClassFactory::LockServer balance
  LONG freedInOwnCallback;  // callbacks posted with PostCallback after which the
                            // object that made them had been destroyed (since reset)
} TestSoCounters;

typedef struct TestSoApi {
  UINT version;  // TESTSO_API_VERSION
  UINT size;     // sizeof(TestSoApi)

  // Forgets every record and every programmed behaviour; live counts stay.
  void(WINAPI* Reset)(void);

  // --- records ---
  UINT(WINAPI* CallCount)(void);
  const TestSoCall*(WINAPI* Call)(UINT index);  // NULL past the end
  UINT(WINAPI* CountCalls)(const WCHAR* method);
  const TestSoCall*(WINAPI* LastCall)(const WCHAR* method);  // NULL when never called
  UINT(WINAPI* NameRequestCount)(void);
  const TestSoNameRequest*(WINAPI* NameRequest)(UINT index);

  // --- programmed behaviour (FALSE for a name the object does not have) ---
  // Result of a method as VT_I4 (the default result is VT_I4 0).
  BOOL(WINAPI* SetResult)(const WCHAR* method, LONG value);
  // Result with another variant type: VT_EMPTY, VT_NULL, VT_I1, VT_UI1, VT_I2,
  // VT_UI2, VT_BOOL, VT_I4, VT_UI4, VT_INT, VT_UINT, VT_ERROR (FALSE for others).
  BOOL(WINAPI* SetResultVariant)(const WCHAR* method, VARTYPE vt, LONG value);
  // Values answered by GetPropertyNumber / GetPropertyString for an index
  // (0 and L"" when not set). SetPropertyNumber stores into the same table.
  void(WINAPI* SetNumberProperty)(LONG index, LONG value);
  void(WINAPI* SetStringProperty)(LONG index, const WCHAR* value);  // NULL: null BSTR
  // GetIDsOfNames answers DISP_E_UNKNOWNNAME for this name (NULL: none).
  BOOL(WINAPI* LackName)(const WCHAR* method);
  // Invoke of this method returns hr (S_OK removes the failure).
  BOOL(WINAPI* FailInvoke)(const WCHAR* method, HRESULT hr);
  // Outputs written during the call into the first VT_BYREF|VT_I4 and the
  // first VT_BYREF|VT_BSTR argument. A string output frees the caller's
  // string and stores a new one (NULL stores a null BSTR).
  BOOL(WINAPI* SetOutputNumber)(const WCHAR* method, LONG value);
  BOOL(WINAPI* SetOutputText)(const WCHAR* method, const WCHAR* value);
  // A callback made during every call of a method, after it is recorded and
  // before outputs and result; several run in the order added.
  BOOL(WINAPI* AddCallback)(const WCHAR* method, const TestSoCallback* callback);
  // A callback made now, through the control IDispatch last received.
  HRESULT(WINAPI* MakeCallback)(const TestSoCallback* callback);
  // A callback the object starts on its own, as from a window of its own:
  // the object that holds the control posts it to that window, and makes it
  // from its own code when the thread next dispatches messages. FALSE when
  // no object holds a control.
  BOOL(WINAPI* PostCallback)(const TestSoCallback* callback);
  UINT(WINAPI* CallbackResultCount)(void);
  const TestSoCallbackResult*(WINAPI* CallbackResult)(UINT index);

  // The control IDispatch received in the last OpenService (no reference is
  // added for the caller); NULL before one or after Close.
  IDispatch*(WINAPI* ControlDispatch)(void);
  // Whether OpenService keeps a reference on the control (default TRUE).
  void(WINAPI* SetHoldControl)(BOOL hold);

  void(WINAPI* GetCounters)(TestSoCounters* out);

  // Benchmark mode: no recording and no programmed behaviour; every method
  // copies its arguments as a real object must and returns VT_I4 0
  // (GetPropertyNumber answers from the property table).
  void(WINAPI* SetBenchMode)(BOOL on);
} TestSoApi;

typedef const TestSoApi*(WINAPI* TestSoGetApiFn)(void);

#ifdef __cplusplus
}
#endif

#endif  // KERUNEL_TESTSO_API_H
