// Drives the real Vostrik.exe from a test: starts it against the registered
// control and the test Service Object, finds its components from the
// layout table, types into fields and clicks buttons with window messages,
// reads texts, visibility and on-screen colours back, and programs and
// reads the Service Object through its script and journal files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "form_layout.h"
#include "support.h"

namespace vt {

using vostrik::c::Id;

// The background an edit shows when no colour of its own is set.
COLORREF NormalBackground();

class Vostrik {
 public:
  Vostrik();
  ~Vostrik();
  Vostrik(const Vostrik&) = delete;
  Vostrik& operator=(const Vostrik&) = delete;

  // Starts the program; true once its window is shown. When it ends
  // without a window instead, exitCode() tells how.
  bool Start(DWORD timeoutMs = 30000);
  // Waits for the program to end by itself; true when it did.
  bool WaitForExit(DWORD timeoutMs);
  DWORD exitCode() const;
  // Closes the window and waits for the program to end.
  void Close();

  HWND window() const { return window_; }
  HWND Item(Id id) const;
  std::wstring Text(Id id) const;
  // Replaces a field's text as typing would (the field reports a change).
  void Type(Id id, const std::wstring& text);
  // Clicks a button; returns when its handler (and any message box it
  // showed) is done.
  bool Click(Id id);
  bool Visible(Id id) const;
  // The colour on screen near the bottom-right corner of the component's
  // client area, once it equals `expected` or after 2 s.
  COLORREF Background(Id id, COLORREF expected) const;

  // The Service Object's programme for the next calls (script lines).
  void Program(const std::wstring& script);
  // Forgets the journal; Journal() then holds what came after.
  void ClearJournal();
  std::vector<std::string> Journal() const;

 private:
  std::wstring scriptPath_;
  std::wstring journalPath_;
  PROCESS_INFORMATION process_{};
  HWND window_ = nullptr;
};

// Registers Kerunel.ocx and the test Service Object, maps "ZV_FPrinter" to
// the Service Object, and undoes it all when it goes away.
class BenchSetup {
 public:
  BenchSetup();
  ~BenchSetup();
  BenchSetup(const BenchSetup&) = delete;
  BenchSetup& operator=(const BenchSetup&) = delete;
  bool ok() const { return ok_; }
  // Both return the server's answer.
  HRESULT RegisterControl();
  HRESULT UnregisterControl();

 private:
  kr::UniqueModule control_;
  kr_test::TestSo so_;
  kr_test::ScopedOposConfig config_;
  bool ok_ = false;
};

}  // namespace vt
