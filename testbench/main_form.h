// TMainForm: the test bench's one window. It is built from the stored
// layout, hosts the Kerunel control (Kerunel1), runs one command per button
// and shows results, the printer state and the control's events.
#pragma once

#include <windows.h>

#include <string>

#include "form_layout.h"
#include "kerunel_wrapper.h"

namespace vostrik {

// Caption of the program's own message boxes.
inline constexpr wchar_t kProgramName[] = L"Vostrik";

class TMainForm {
 public:
  TMainForm();
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Creates the window and every component from the layout; creating
  // Kerunel1 creates the control and loads its stored state. Returns S_OK,
  // or the status of the failed control creation (no window is left).
  HRESULT Create(HINSTANCE instance);
  HWND hwnd() const { return hwnd_; }

  // Handlers bound in the layout.
  void ButtonClick(c::Id button);
  void eResultCodeChange(c::Id);
  void eResultCodeExtendedChange(c::Id);

  // Result, state and event display.
  void ShowResultCode(LONG code);
  void ShowLastResultCode();
  void ShowExtendedResult();
  void RefreshPrinterState();
  void ShowPrinterState(DWORD state);
  // The command's call was refused by the control: its result shows as an
  // error although the control's ResultCode was never touched.
  void SetCallRefused(bool refused) { callRefused_ = refused; }
  void Kerunel1ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                          LONG* pErrorResponse);
  void Kerunel1OutputCompleteEvent(LONG outputId);
  void Kerunel1StatusUpdateEvent(LONG data);
  void Kerunel1DirectIOEvent(LONG eventNumber, LONG* pData, BSTR* pString);

  // Component access.
  HWND Item(c::Id id) const;
  std::wstring Text(c::Id id) const;
  void SetText(c::Id id, const std::wstring& text);
  void SetColour(c::Id id, COLORREF colour);
  COLORREF Colour(c::Id id) const;

  TKerunel Kerunel1;

 private:
  static LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ContainerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK SpeedButtonProcEntry(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // Answers WM_CTLCOLOR* for a component with a colour of its own; nullptr
  // leaves the child to the default.
  HBRUSH ComponentBrush(HWND child, HDC dc);
  HRESULT CreateComponent(const Component& component, HINSTANCE instance);
  HBRUSH BrushFor(COLORREF colour);

  HWND hwnd_ = nullptr;
  bool built_ = false;  // handlers run only once the window is complete
  bool callRefused_ = false;
  HWND windows_[256] = {};
  COLORREF colours_[256];
  kr::UniqueGdiObject formFont_;
  kr::UniqueGdiObject smallFont_;
  kr::UniqueGdiObject red_;
  kr::UniqueGdiObject white_;
};

// Runs the command bound to `button` (commands.cpp); conversion errors and
// errors raised by the wrapper propagate to the caller.
void RunCommand(TMainForm& form, c::Id button);

}  // namespace vostrik
