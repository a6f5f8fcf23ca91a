// Measures what the control adds to a call: one forwarded PrintRecItem (six
// arguments) and one numeric property read (ResultCode) through the
// control's IDispatch, against the same calls made straight on the Service
// Object's IDispatch. The Service Object runs in its benchmark mode, in which
// it copies its arguments like a real one and records nothing.
//
//   control_bench [--iterations N] [--runs R] [--control <module>]
//
// Prints the median time per call of R runs of N calls each, the median of
// the per-run ratios, and the CoTaskMem allocations (BSTRs included) per
// call of each path.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "kerunel_ids.h"
#include "support.h"

namespace {

using kr::ComPtr;

constexpr wchar_t kDeviceName[] = L"KerunelBench";

struct Options {
  long iterations = 200000;
  int runs = 7;
  std::wstring controlModule = L"Kerunel.ocx";
};

// A prepared Invoke: DISPID, flags and arguments fixed before timing.
struct PreparedCall {
  IDispatch* target = nullptr;
  DISPID id = DISPID_UNKNOWN;
  WORD flags = DISPATCH_METHOD;
  std::vector<VARIANT> args;  // last-first, as Invoke takes them

  // Returns the Invoke status; result is the 32-bit value answered.
  HRESULT Run(LONG* result) {
    DISPPARAMS p = {args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()),
                    0};
    VARIANT r;
    VariantInit(&r);
    const HRESULT hr = target->Invoke(id, IID_NULL, 0, flags, &p, &r, nullptr, nullptr);
    if (result) *result = r.vt == VT_I4 ? r.lVal : -1;
    VariantClear(&r);
    return hr;
  }
};

DISPID IdOf(IDispatch* d, const wchar_t* name) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR n = const_cast<LPOLESTR>(name);
  return SUCCEEDED(d->GetIDsOfNames(IID_NULL, &n, 1, 0, &id)) ? id : DISPID_UNKNOWN;
}

// The six arguments of PrintRecItem, last-first; strings owned by the caller.
std::vector<VARIANT> RecItemArgs(BSTR description, BSTR unitName) {
  std::vector<VARIANT> a(6);
  for (auto& v : a) VariantInit(&v);
  a[5].vt = VT_BSTR;  // Description
  a[5].bstrVal = description;
  a[4].vt = VT_CY;  // Price 12.50
  a[4].cyVal.int64 = 125000;
  a[3].vt = VT_I4;  // Quantity
  a[3].lVal = 1000;
  a[2].vt = VT_I4;  // VatInfo
  a[2].lVal = 1;
  a[1].vt = VT_CY;  // UnitPrice
  a[1].cyVal.int64 = 125000;
  a[0].vt = VT_BSTR;  // UnitName
  a[0].bstrVal = unitName;
  return a;
}

double Seconds(LONGLONG ticks) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<double>(ticks) / static_cast<double>(f.QuadPart);
}

using Measured = std::function<HRESULT()>;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Nanoseconds per call of each callable, one vector per callable with one
// entry per run. The callables take turns within every run, so that a
// passing load on the machine weighs on all of them alike. Returns false
// when a call fails during the warm-up.
bool MeasureRuns(const std::vector<Measured>& calls, const Options& opt,
                 std::vector<std::vector<double>>& nsPerCall) {
  for (const Measured& call : calls) {
    for (long i = 0; i < opt.iterations / 10 + 1; ++i) {
      if (FAILED(call())) return false;
    }
  }
  nsPerCall.assign(calls.size(), {});
  for (int r = 0; r < opt.runs; ++r) {
    for (size_t c = 0; c < calls.size(); ++c) {
      LARGE_INTEGER t0, t1;
      QueryPerformanceCounter(&t0);
      for (long i = 0; i < opt.iterations; ++i) calls[c]();
      QueryPerformanceCounter(&t1);
      nsPerCall[c].push_back(Seconds(t1.QuadPart - t0.QuadPart) * 1e9 / opt.iterations);
    }
  }
  return true;
}

// Median over the runs of the ratio a/b within each run.
double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> r;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(a[i] / b[i]);
  return Median(r);
}

// The string work of one string argument beyond ASCII: to the thread's
// 8-bit code page and back, into a new BSTR.
BSTR RoundTrip(BSTR text) {
  constexpr int kMax = 256;
  char ansi[kMax];
  wchar_t wide[kMax];
  const int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(SysStringLen(text)),
                                    ansi, kMax, nullptr, nullptr);
  const int m = MultiByteToWideChar(CP_THREAD_ACP, 0, ansi, n, wide, kMax);
  return SysAllocStringLen(wide, static_cast<UINT>(m));
}

// CoTaskMem allocations per call (a separate pass: the spy slows calls down).
double AllocationsPerCall(kr_test::AllocationSpy& spy, PreparedCall& call) {
  constexpr int kCalls = 100;
  LONG result;
  call.Run(&result);
  spy.Mark();
  for (int i = 0; i < kCalls; ++i) call.Run(&result);
  return static_cast<double>(spy.AllocationsSinceMark()) / kCalls;
}

bool ParseOptions(int argc, wchar_t** argv, Options& opt) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == L"--iterations" && hasValue) {
      opt.iterations = wcstol(argv[++i], nullptr, 10);
    } else if (a == L"--runs" && hasValue) {
      opt.runs = static_cast<int>(wcstol(argv[++i], nullptr, 10));
    } else if (a == L"--control" && hasValue) {
      opt.controlModule = argv[++i];
    } else {
      return false;
    }
  }
  return opt.iterations > 0 && opt.runs > 0;
}

int Fail(const char* what, HRESULT hr) {
  fprintf(stderr, "control_bench: %s (0x%08lx)\n", what, static_cast<unsigned long>(hr));
  return 1;
}

int Run(const Options& opt) {
  kr::ComInit com;
  if (FAILED(com.result())) return Fail("COM initialisation failed", com.result());

  kr_test::TestSo so;
  if (!so) return Fail("TestServiceObject.dll not loadable", E_FAIL);
  HRESULT hr = so.Register();
  if (FAILED(hr)) return Fail("registering the test Service Object failed", hr);
  so->Reset();
  so->SetBenchMode(TRUE);
  so->SetNumberProperty(6, 0);  // ResultCode

  kr_test::ScopedOposConfig config;
  if (config.Device(kDeviceName, TESTSO_PROGID) != ERROR_SUCCESS) {
    return Fail("writing the device key failed", E_FAIL);
  }

  // Through the module's class factory: no registration needed.
  kr::UniqueModule module;
  ComPtr<IDispatch> control;
  hr = kr_test::CreateFromModule(opt.controlModule.c_str(), kr::kControlClsid, IID_IDispatch,
                                 control.put_void(), module);
  if (FAILED(hr)) return Fail("creating the control failed", hr);

  kr::UniqueBstr deviceName(SysAllocString(kDeviceName));
  PreparedCall open{control.get(), IdOf(control.get(), L"Open"), DISPATCH_METHOD, {}};
  open.args.resize(1);
  VariantInit(&open.args[0]);
  open.args[0].vt = VT_BSTR;
  open.args[0].bstrVal = deviceName.get();
  LONG result = -1;
  hr = open.Run(&result);
  if (FAILED(hr) || result != 0) return Fail("Open failed", FAILED(hr) ? hr : result);

  CLSID clsid;
  ComPtr<IDispatch> service;
  hr = CLSIDFromProgID(TESTSO_PROGID, &clsid);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, service.put_void());
  }
  if (FAILED(hr)) return Fail("creating the Service Object failed", hr);

  kr::UniqueBstr description(SysAllocString(L"ESPRESSO DOPPIO"));
  kr::UniqueBstr unitName(SysAllocString(L"PZ"));
  PreparedCall recItemControl{control.get(), IdOf(control.get(), L"PrintRecItem"), DISPATCH_METHOD,
                              RecItemArgs(description.get(), unitName.get())};
  PreparedCall recItemDirect{service.get(), IdOf(service.get(), L"PrintRecItem"), DISPATCH_METHOD,
                             RecItemArgs(description.get(), unitName.get())};
  PreparedCall readControl{
      control.get(), IdOf(control.get(), L"ResultCode"), DISPATCH_PROPERTYGET, {}};
  PreparedCall readDirect{service.get(), IdOf(service.get(), L"GetPropertyNumber"), DISPATCH_METHOD,
                          std::vector<VARIANT>(1)};
  VariantInit(&readDirect.args[0]);
  readDirect.args[0].vt = VT_I4;
  readDirect.args[0].lVal = 6;  // ResultCode's property index
  for (PreparedCall* c : {&recItemControl, &recItemDirect, &readControl, &readDirect}) {
    if (c->id == DISPID_UNKNOWN) return Fail("a member name did not resolve", DISP_E_UNKNOWNNAME);
  }

  // The direct call plus the string work the control does for text beyond
  // ASCII (two strings to 8-bit text and back into new BSTRs, freed after
  // the call); ASCII text is handed on without it.
  PreparedCall recItemCopies = recItemDirect;
  auto copyCall = [&] {
    BSTR d = RoundTrip(description.get());
    BSTR u = RoundTrip(unitName.get());
    recItemCopies.args[5].bstrVal = d;
    recItemCopies.args[0].bstrVal = u;
    const HRESULT hr = recItemCopies.Run(&result);
    SysFreeString(d);
    SysFreeString(u);
    return hr;
  };

  // Rows: PrintRecItem through the control, direct, with copies; then the read.
  std::vector<std::vector<double>> ns;
  const std::vector<Measured> calls = {
      [&] { return recItemControl.Run(&result); },
      [&] { return recItemDirect.Run(&result); },
      copyCall,
      [&] { return readControl.Run(&result); },
      [&] { return readDirect.Run(&result); },
  };
  if (!MeasureRuns(calls, opt, ns)) return Fail("a measured call failed", E_FAIL);

  printf("control_bench: median of %d runs x %ld calls, under %s\n", opt.runs, opt.iterations,
         GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") ? "Wine" : "Windows");
  printf("%-20s %12s %12s %8s %12s %8s\n", "call", "control ns", "direct ns", "ratio", "copy ns",
         "ratio");
  printf("%-20s %12.1f %12.1f %8.2f %12.1f %8.2f\n", "PrintRecItem", Median(ns[0]), Median(ns[1]),
         MedianRatio(ns[0], ns[1]), Median(ns[2]), MedianRatio(ns[2], ns[1]));
  printf("%-20s %12.1f %12.1f %8.2f\n", "ResultCode (read)", Median(ns[3]), Median(ns[4]),
         MedianRatio(ns[3], ns[4]));
  printf(
      "copy: the direct call plus the strings made anew through the code page, as the\n"
      "      control does for text beyond ASCII\n");

  {
    kr_test::AllocationSpy spy;
    if (spy.Active()) {
      printf("%-20s %14s %14s\n", "CoTaskMem allocs", "control", "direct");
      printf("%-20s %14.2f %14.2f\n", "PrintRecItem", AllocationsPerCall(spy, recItemControl),
             AllocationsPerCall(spy, recItemDirect));
      printf("%-20s %14.2f %14.2f\n", "ResultCode (read)", AllocationsPerCall(spy, readControl),
             AllocationsPerCall(spy, readDirect));
    }
  }

  PreparedCall close{control.get(), IdOf(control.get(), L"Close"), DISPATCH_METHOD, {}};
  close.Run(&result);
  so->SetBenchMode(FALSE);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options opt;
  if (!ParseOptions(argc, argv, opt)) {
    fprintf(stderr, "usage: control_bench [--iterations N] [--runs R] [--control <module>]\n");
    return 2;
  }
  return Run(opt);
}
