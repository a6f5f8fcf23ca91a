// Helpers for tests that run under Wine: the test Service Object, the OPOS
// registry area, modal message boxes and CoTaskMem/BSTR leak accounting.
#pragma once

#include <objidl.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testso_api.h"
#include "win_raii.h"

namespace kr_test {

// --- test Service Object ---------------------------------------------------

// Loads TestServiceObject.dll (next to the test program) and keeps it loaded
// for the object's lifetime, so the table stays valid even when COM frees
// its own load of the module.
class TestSo {
 public:
  TestSo();
  // The object's table, or nullptr when the module could not be loaded.
  const TestSoApi* operator->() const { return api_; }
  const TestSoApi* api() const { return api_; }
  explicit operator bool() const { return api_ != nullptr; }
  // Writes the object's class and ProgID keys; returns its DllRegisterServer result.
  HRESULT Register() const;
  HRESULT Unregister() const;
  // The object's counters at this moment.
  TestSoCounters Counters() const;

 private:
  kr::UniqueModule module_;
  const TestSoApi* api_ = nullptr;
};

// Creates an object of class clsid straight from an in-process server module
// (LoadLibrary + DllGetClassObject), without registration; module keeps the
// module loaded and must outlive the object. Returns the HRESULT.
HRESULT CreateFromModule(const wchar_t* path, REFCLSID clsid, REFIID iid, void** out,
                         kr::UniqueModule& module);
// Registers an in-process server module as regsvr32 does (its
// DllRegisterServer); returns its answer, or the load error as an HRESULT.
HRESULT RegisterServer(const wchar_t* path);

// --- OPOS registry area ------------------------------------------------------

// HKLM path of the control's device class key.
extern const wchar_t kOposClassKey[];

// A value of a device key: its name and its text (REG_SZ).
using OposValue = std::pair<const wchar_t*, std::wstring>;

// Creates the device key <name> under the class key with the default value
// service (a ProgID or braced class identifier) and the values given;
// returns a Win32 error code.
LONG SetOposDevice(const std::wstring& name, const std::wstring& service,
                   const std::vector<OposValue>& values = {});
// Sets the class key's value <logicalName> = <keyName>; returns a Win32 error code.
LONG MapOposLogicalName(const std::wstring& logicalName, const std::wstring& keyName);
// Writes any class key value (another value type, an over-long value).
LONG SetOposClassValue(const std::wstring& name, DWORD type, const void* data, DWORD bytes);
// Removes a device key, a class key value, or the whole class key; missing
// entries are not an error. Return a Win32 error code.
LONG RemoveOposDevice(const std::wstring& name);
LONG RemoveOposClassValue(const std::wstring& name);
LONG RemoveOposClassKey();

// Device keys and mappings made through it are removed when it goes away.
class ScopedOposConfig {
 public:
  ScopedOposConfig() = default;
  ScopedOposConfig(const ScopedOposConfig&) = delete;
  ScopedOposConfig& operator=(const ScopedOposConfig&) = delete;
  ~ScopedOposConfig();
  // Both return a Win32 error code.
  LONG Device(const std::wstring& name, const std::wstring& service,
              const std::vector<OposValue>& values = {});
  LONG Map(const std::wstring& logicalName, const std::wstring& keyName);

 private:
  std::vector<std::wstring> devices_;
  std::vector<std::wstring> values_;
};

// --- message boxes -------------------------------------------------------------

// A thread that dismisses modal message boxes (dialog class "#32770") with
// the given caption by pressing `answer`, recording the text of each
// (control 0xFFFF). It stops after timeoutMs or when destroyed.
class MessageBoxWatcher {
 public:
  explicit MessageBoxWatcher(std::wstring caption, DWORD timeoutMs = 10000, int answer = IDOK);
  MessageBoxWatcher(const MessageBoxWatcher&) = delete;
  MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;
  ~MessageBoxWatcher();

  void Stop();
  // Texts of the boxes dismissed so far, in order.
  std::vector<std::wstring> Texts() const;
  size_t Count() const;

 private:
  void Run(DWORD timeoutMs);

  std::wstring caption_;
  int answer_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::wstring> texts_;
  std::thread thread_;
};

// --- windows a person sees ------------------------------------------------------

// Waits up to timeoutMs for a visible top-level window of this process whose
// caption contains `caption`; returns it, or nullptr.
HWND WaitForTopLevelWindow(const std::wstring& caption, DWORD timeoutMs = 10000);
// The text of every descendant of `window` that shows one, in Z order.
std::vector<std::wstring> DescendantTexts(HWND window);
// Photographs the whole virtual display into <build>/screenshots/<name>.png
// (the build tree holding this program's bin directory); returns the file's
// Windows path, or an empty string when no picture was written in time.
std::wstring TakeScreenshot(const std::wstring& name);

// --- allocation accounting -----------------------------------------------------

// Counts CoTaskMem allocations (which include every BSTR) through a
// process-wide IMallocSpy, with the BSTR cache turned off so that a freed
// string really is freed. One may exist at a time.
class AllocationSpy {
 public:
  AllocationSpy();
  AllocationSpy(const AllocationSpy&) = delete;
  AllocationSpy& operator=(const AllocationSpy&) = delete;
  ~AllocationSpy();

  // Whether the spy is registered (false: another spy exists, or COM refused).
  bool Active() const { return spy_ != nullptr; }
  // Starts a new window: later calls count allocations made after it.
  void Mark();
  // Allocations made since Mark() that are still live.
  size_t LiveSinceMark() const;
  // All allocations made since Mark(), freed or not.
  unsigned long long AllocationsSinceMark() const;
  // A line per such allocation (size, and the text when it looks like a BSTR).
  std::string DescribeLiveSinceMark() const;

 private:
  class Spy;
  Spy* spy_ = nullptr;
  unsigned long long mark_ = 0;
};

// --- process footprint ---------------------------------------------------------

// What this process holds at one moment.
struct Footprint {
  size_t heapBytes = 0;   // busy bytes in all the process's heaps
  size_t heapBlocks = 0;  // busy blocks in them
  DWORD handles = 0;
  DWORD threads = 0;
};
Footprint ReadFootprint();

// --- programs ------------------------------------------------------------------

// Runs a command line (reg.exe, msiexec.exe, a tool) hidden and waits for it
// up to timeoutMs; returns its exit code, or -1 when it could not be started
// or did not end in time (it is then left running).
DWORD RunProgram(std::string commandLine, DWORD timeoutMs = 60000);
// Creates the Kerunel control by its ProgID (COM must be initialised) and
// opens, claims and enables the logical device, then disables, releases
// and closes it; returns "" when every step gave 0, else the first failing
// step and its result ("Open 109").
std::string UseDeviceThroughControl(const std::wstring& deviceName);
// The same cycle on a control the caller made (Open, Claim, DeviceEnabled
// on and off when enable is set, Release, Close); the same result.
std::string UseDevice(IDispatch* control, const std::wstring& deviceName, bool enable);
// One line of <build dir>/deliverables.txt: the kind and the file name.
struct Deliverable {
  std::string kind, file;
};
// The deliverables that a build made, from its list (a Unix path).
std::vector<Deliverable> ReadDeliverables(const std::string& listPath);
// A Unix path as Wine's Z: drive shows it ("/a/b" -> "Z:\\a\\b").
std::string WinePath(std::string unixPath);
// ASCII text (settings, names) as a wide string.
inline std::wstring Wide(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace kr_test
