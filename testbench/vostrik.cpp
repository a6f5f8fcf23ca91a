// Vostrik: the technician's window onto a fiscal printer through the
// Kerunel control.
#include <windows.h>
// The COM headers below need the Windows types.
#include <ole2.h>

#include "main_form.h"

namespace {

// OleInitialize for the program's lifetime: the hosted control lives in
// this, the main single-threaded apartment.
class OleInit {
 public:
  OleInit() : hr_(::OleInitialize(nullptr)) {}
  OleInit(const OleInit&) = delete;
  OleInit& operator=(const OleInit&) = delete;
  ~OleInit() {
    if (SUCCEEDED(hr_)) ::OleUninitialize();
  }
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  OleInit ole;
  if (FAILED(ole.result())) {
    ::MessageBoxW(nullptr, vostrik::StatusText(ole.result()).c_str(), vostrik::kProgramName,
                  MB_OK | MB_ICONERROR);
    return 1;
  }
  int exitCode = 0;
  {
    vostrik::TMainForm form;
    const HRESULT hr = form.Create(instance);
    if (FAILED(hr)) {
      // Without its control the window is not shown at all.
      ::MessageBoxW(nullptr, vostrik::StatusText(hr).c_str(), vostrik::kProgramName,
                    MB_OK | MB_ICONERROR);
      return 1;
    }
    ::ShowWindow(form.hwnd(), show);
    ::UpdateWindow(form.hwnd());
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (form.hwnd() && ::IsDialogMessageW(form.hwnd(), &msg)) continue;
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    exitCode = static_cast<int>(msg.wParam);
  }
  return exitCode;
}
