#include "main_form.h"

#include "field_conversion.h"
#include "opos.h"

namespace vostrik {
namespace {

constexpr wchar_t kPanelClass[] = L"TPanel";
constexpr wchar_t kGroupBoxClass[] = L"TGroupBox";
constexpr wchar_t kOleControlClass[] = L"TOleControl";
constexpr int kMaxComponents = 256;

int IndexOf(int id) {
  const int index = id - c::bOpen;
  return index >= 0 && index < kMaxComponents ? index : -1;
}

// DirectIO events received since start, shown in eFlash.
LONG directIOCount = 0;

// The original window procedure of buttons, under the speed buttons' own.
WNDPROC g_buttonProc = nullptr;

std::wstring ResultCodeText(LONG code) {
  if (code == opos::OPOS_SUCCESS) return L"0  -OPOS_SUCCESS ";
  const char* name = opos::ResultCodeName(code);
  std::wstring text = NumberText(code);
  if (name) {
    text += L"-";
    while (*name) text.push_back(static_cast<wchar_t>(*name++));
  }
  return text;
}

std::wstring ExtendedResultText(LONG code) {
  const char* name = opos::ExtendedCodeName(code);
  std::wstring text = NumberText(code);
  if (name) {
    text += L"-";
    while (*name) text.push_back(static_cast<wchar_t>(*name++));
  }
  return text;
}

std::wstring PrinterStateText(DWORD state) {
  if (state == 0) return L"[Error] ?";
  const char* name =
      state <= opos::kPrinterReport ? opos::PrinterStateName(static_cast<LONG>(state)) : nullptr;
  if (!name) return L"[Error]";
  std::wstring text;
  while (*name) text.push_back(static_cast<wchar_t>(*name++));
  return text;
}

// Width in pixels of `text` in `font` on `window`'s display.
int TextWidth(HWND window, HFONT font, const wchar_t* text) {
  struct WindowDc {
    HWND window;
    HDC dc;
    ~WindowDc() {
      if (dc) ::ReleaseDC(window, dc);
    }
  } screen{window, ::GetDC(window)};
  if (!screen.dc) return 0;
  const HGDIOBJ old = ::SelectObject(screen.dc, font);
  SIZE size{};
  ::GetTextExtentPoint32W(screen.dc, text, static_cast<int>(::wcslen(text)), &size);
  ::SelectObject(screen.dc, old);
  return size.cx;
}

std::wstring BstrText(BSTR text) {
  return std::wstring(text ? text : L"", ::SysStringLen(text));
}

}  // namespace

TMainForm::TMainForm() {
  for (COLORREF& colour : colours_) colour = kKindColour;
  Kerunel1.OnErrorEvent = [this](TOleControl&, LONG rc, LONG ext, LONG locus, LONG* response) {
    Kerunel1ErrorEvent(rc, ext, locus, response);
  };
  Kerunel1.OnOutputCompleteEvent = [this](TOleControl&, LONG id) {
    Kerunel1OutputCompleteEvent(id);
  };
  Kerunel1.OnStatusUpdateEvent = [this](TOleControl&, LONG data) {
    Kerunel1StatusUpdateEvent(data);
  };
  Kerunel1.OnDirectIOEvent = [this](TOleControl&, LONG number, LONG* data, BSTR* text) {
    Kerunel1DirectIOEvent(number, data, text);
  };
}

TMainForm::~TMainForm() {
  if (hwnd_) ::DestroyWindow(hwnd_);
  Kerunel1.Destroy();
}

HRESULT TMainForm::Create(HINSTANCE instance) {
  WNDCLASSEXW form{};
  form.cbSize = sizeof(form);
  form.lpfnWndProc = FormProc;
  form.hInstance = instance;
  form.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  form.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
  form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form.lpszClassName = kFormClass;
  WNDCLASSEXW container = form;
  container.lpfnWndProc = ContainerProc;
  container.hIcon = nullptr;
  container.lpszClassName = kPanelClass;
  WNDCLASSEXW groupBox = container;
  groupBox.lpszClassName = kGroupBoxClass;
  WNDCLASSEXW host = container;
  host.lpfnWndProc = ::DefWindowProcW;
  host.lpszClassName = kOleControlClass;
  for (const WNDCLASSEXW* wc : {&form, &container, &groupBox, &host}) {
    if (!::RegisterClassExW(wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      return HRESULT_FROM_WIN32(::GetLastError());
    }
  }

  formFont_.reset(::CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                DEFAULT_PITCH | FF_DONTCARE, L"MS Sans Serif"));
  smallFont_.reset(::CreateFontW(-9, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                 DEFAULT_PITCH | FF_DONTCARE, L"Small Fonts"));
  red_.reset(::CreateSolidBrush(kRed));
  white_.reset(::CreateSolidBrush(kWhite));

  const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  RECT outer{0, 0, kFormClientWidth, kFormClientHeight};
  ::AdjustWindowRectEx(&outer, style, FALSE, WS_EX_CONTROLPARENT);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  hwnd_ = ::CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, kFormCaption, style, x, y, width,
                            height, nullptr, nullptr, instance, this);
  if (!hwnd_) return HRESULT_FROM_WIN32(::GetLastError());
  ::SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(formFont_.get()), FALSE);

  for (size_t i = 0; i < kLayoutCount; ++i) {
    const HRESULT hr = CreateComponent(kLayout[i], instance);
    if (FAILED(hr)) {
      ::DestroyWindow(hwnd_);
      hwnd_ = nullptr;
      return hr;
    }
  }
  built_ = true;
  return S_OK;
}

HRESULT TMainForm::CreateComponent(const Component& k, HINSTANCE instance) {
  const int index = IndexOf(k.id);
  if (index < 0) return E_INVALIDARG;
  const HWND parent = k.parent == c::MainForm ? hwnd_ : Item(k.parent);
  if (!parent) return E_INVALIDARG;

  const wchar_t* windowClass = L"STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
  DWORD exStyle = 0;
  switch (k.kind) {
    case Kind::kButton:
      windowClass = L"BUTTON";
      style |= WS_TABSTOP | BS_PUSHBUTTON;
      break;
    case Kind::kSpeedButton:
      windowClass = L"BUTTON";
      style |= BS_PUSHBUTTON;
      break;
    case Kind::kEdit:
      windowClass = L"EDIT";
      style |= WS_TABSTOP | ES_AUTOHSCROLL;
      exStyle = WS_EX_CLIENTEDGE;
      break;
    case Kind::kLabel:
      style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX;
      break;
    case Kind::kWrapLabel:
      style |= SS_LEFT | SS_NOPREFIX;
      break;
    case Kind::kTitle:
      style |= SS_CENTER | SS_NOPREFIX;
      break;
    case Kind::kPanel:
      windowClass = kPanelClass;
      style |= WS_CLIPCHILDREN;
      exStyle = WS_EX_CONTROLPARENT;
      break;
    case Kind::kGroupBox:
      windowClass = kGroupBoxClass;
      style |= WS_CLIPCHILDREN;
      exStyle = WS_EX_CONTROLPARENT;
      break;
    case Kind::kOleControl:
      windowClass = kOleControlClass;
      break;
  }
  const HFONT font =
      static_cast<HFONT>(k.font == FontId::kSmall ? smallFont_.get() : formFont_.get());
  int width = k.width;
  if (width == 0) width = TextWidth(hwnd_, font, k.text);  // a label fitted to its text
  const HWND window =
      ::CreateWindowExW(exStyle, windowClass, k.text, style, k.left, k.top, width, k.height, parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(k.id)), instance, this);
  if (!window) return HRESULT_FROM_WIN32(::GetLastError());
  windows_[index] = window;
  colours_[index] = k.colour;
  ::SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (k.kind == Kind::kSpeedButton) {
    const auto previous = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TMainForm::SpeedButtonProcEntry)));
    if (!g_buttonProc) g_buttonProc = previous;
  }
  if (k.kind == Kind::kOleControl && k.id == c::Kerunel1) {
    return Kerunel1.Create(window, kKerunel1State, sizeof kKerunel1State);
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Window procedures

LRESULT CALLBACK TMainForm::FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<TMainForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!form || form->hwnd_ != hwnd) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  return form->OnMessage(message, wParam, lParam);
}

LRESULT TMainForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND: {
      const Component* k = FindComponent(LOWORD(wParam));
      if (!built_ || !k || !k->handler || lParam == 0) break;
      const WORD code = HIWORD(wParam);
      const bool isButton = k->kind == Kind::kButton || k->kind == Kind::kSpeedButton;
      if ((isButton && code == BN_CLICKED) || (k->kind == Kind::kEdit && code == EN_CHANGE)) {
        (this->*(k->handler))(k->id);
      }
      return 0;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      if (HBRUSH brush =
              ComponentBrush(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam))) {
        return reinterpret_cast<LRESULT>(brush);
      }
      break;
    case WM_CLOSE:
      ::DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      // The control is released without being closed: what it does then is
      // its own business.
      Kerunel1.Destroy();
      // A window that never got complete ends nothing: the start-up failure
      // box still has to show.
      if (built_) ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      break;
  }
  return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK TMainForm::ContainerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* form = reinterpret_cast<TMainForm*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (message) {
    // Children's notifications and colour requests belong to the window.
    case WM_COMMAND:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
      if (form && form->hwnd_) return ::SendMessageW(form->hwnd_, message, wParam, lParam);
      break;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(hwnd, &ps);
      RECT r;
      ::GetClientRect(hwnd, &r);
      wchar_t caption[128] = L"";
      const int length = ::GetWindowTextW(hwnd, caption, 128);
      const HGDIOBJ oldFont =
          ::SelectObject(dc, form ? form->formFont_.get() : ::GetStockObject(DEFAULT_GUI_FONT));
      ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
      ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
      wchar_t className[16] = L"";
      ::GetClassNameW(hwnd, className, 16);
      if (::lstrcmpW(className, kGroupBoxClass) == 0) {
        TEXTMETRICW tm{};
        ::GetTextMetricsW(dc, &tm);
        RECT frame = r;
        frame.top = tm.tmHeight / 2;
        ::DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
        if (length > 0) ::TextOutW(dc, 8, 0, caption, length);
      } else {
        ::DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
        if (length > 0) {
          ::SetBkMode(dc, TRANSPARENT);
          ::DrawTextW(dc, caption, length, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        }
      }
      ::SelectObject(dc, oldFont);
      ::EndPaint(hwnd, &ps);
      return 0;
    }
  }
  return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK TMainForm::SpeedButtonProcEntry(HWND hwnd, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
  // A speed button never keeps the focus: it hands it straight back to
  // the field the user was typing in.
  if (message == WM_SETFOCUS) {
    const HWND previous = reinterpret_cast<HWND>(wParam);
    if (previous && ::IsWindow(previous) && previous != hwnd) {
      ::SetFocus(previous);
      return 0;
    }
  }
  return ::CallWindowProcW(g_buttonProc, hwnd, message, wParam, lParam);
}

HBRUSH TMainForm::ComponentBrush(HWND child, HDC dc) {
  const int index = IndexOf(::GetDlgCtrlID(child));
  if (index < 0 || windows_[index] != child) return nullptr;
  const COLORREF colour = colours_[index];
  HBRUSH brush = BrushFor(colour);
  if (!brush) return nullptr;
  ::SetBkColor(dc, colour);
  return brush;
}

HBRUSH TMainForm::BrushFor(COLORREF colour) {
  if (colour == kRed) return static_cast<HBRUSH>(red_.get());
  if (colour == kWhite) return static_cast<HBRUSH>(white_.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// Components

HWND TMainForm::Item(c::Id id) const {
  const int index = IndexOf(id);
  return index < 0 ? nullptr : windows_[index];
}

std::wstring TMainForm::Text(c::Id id) const {
  const HWND window = Item(id);
  if (!window) return std::wstring();
  const int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int n = ::GetWindowTextW(window, text.data(), length + 1);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

void TMainForm::SetText(c::Id id, const std::wstring& text) {
  if (const HWND window = Item(id)) ::SetWindowTextW(window, text.c_str());
}

void TMainForm::SetColour(c::Id id, COLORREF colour) {
  const int index = IndexOf(id);
  if (index < 0 || colours_[index] == colour) return;
  colours_[index] = colour;
  ::InvalidateRect(windows_[index], nullptr, TRUE);
}

COLORREF TMainForm::Colour(c::Id id) const {
  const int index = IndexOf(id);
  return index < 0 ? kKindColour : colours_[index];
}

// ---------------------------------------------------------------------------
// Handlers and display

void TMainForm::ButtonClick(c::Id button) {
  try {
    RunCommand(*this, button);
  } catch (const ConversionError& e) {
    ::MessageBoxW(hwnd_, e.message().c_str(), kProgramName, MB_OK | MB_ICONERROR);
  } catch (const OleError& e) {
    ::MessageBoxW(hwnd_, e.text().c_str(), kProgramName, MB_OK | MB_ICONERROR);
  }
}

void TMainForm::eResultCodeChange(c::Id) {
  const std::wstring text = Text(c::eResultCode);
  SetColour(c::eResultCode, !text.empty() && text[0] == L'0' ? kKindColour : kRed);
}

void TMainForm::eResultCodeExtendedChange(c::Id) {
  SetColour(c::eResultCodeExtended, Text(c::eResultCodeExtended).empty() ? kKindColour : kRed);
}

namespace {
// The result display after eResultCodeExtended was cleared. A code outside
// the table is shown as its number rather than leaving the last one.
void ShowCode(TMainForm& form, LONG code) {
  form.SetText(c::eResultCode, ResultCodeText(code));
  if (code == opos::OPOS_E_EXTENDED) form.ShowExtendedResult();
}
}  // namespace

void TMainForm::ShowResultCode(LONG code) {
  SetText(c::eResultCodeExtended, L"");
  ShowCode(*this, code);
}

void TMainForm::ShowLastResultCode() {
  SetText(c::eResultCodeExtended, L"");
  ShowCode(*this, Kerunel1.get_ResultCode());
}

void TMainForm::ShowExtendedResult() {
  SetText(c::eResultCodeExtended, ExtendedResultText(Kerunel1.get_ResultCodeExtended()));
}

void TMainForm::RefreshPrinterState() {
  ShowPrinterState(static_cast<DWORD>(Kerunel1.get_PrinterState()));
}

void TMainForm::ShowPrinterState(DWORD state) {
  const std::wstring text = PrinterStateText(state);
  SetText(c::eStatus, text);
  ::ShowWindow(Item(c::lbTMA), Kerunel1.get_TrainingModeActive() ? SW_SHOW : SW_HIDE);
  if (callRefused_ || Kerunel1.get_ResultCode() != opos::OPOS_SUCCESS) {
    ::ShowWindow(Item(c::lbTMA), SW_HIDE);
    SetText(c::eStatus, text + L"[Error]");
  }
}

void TMainForm::Kerunel1ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                                   LONG* pErrorResponse) {
  SetText(c::eEvent, L"Error");
  SetText(c::eEvP1, NumberText(resultCode));
  SetText(c::eEvP2, NumberText(resultCodeExtended));
  SetText(c::eEvP3, NumberText(errorLocus));
  SetText(c::eEvP4, NumberText(*pErrorResponse));
}

void TMainForm::Kerunel1OutputCompleteEvent(LONG outputId) {
  SetText(c::eEvent, L"OutputComplete");
  SetText(c::eEvP1, NumberText(outputId));
  SetText(c::eEvP2, L"");
  SetText(c::eEvP3, L"");
  SetText(c::eEvP4, L"");
}

void TMainForm::Kerunel1StatusUpdateEvent(LONG data) {
  SetText(c::eEvent, L"StatusUpdate");
  SetText(c::eEvP1, NumberText(data));
  SetText(c::eEvP2, L"");
  SetText(c::eEvP3, L"");
  SetText(c::eEvP4, L"");
}

void TMainForm::Kerunel1DirectIOEvent(LONG eventNumber, LONG* pData, BSTR* pString) {
  SetColour(c::eFlash, Colour(c::eFlash) == kWhite ? kRed : kWhite);
  ++directIOCount;
  SetText(c::eFlash, NumberText(directIOCount));
  SetText(c::eEvent, L"DirectIO");
  SetText(c::eEvP1, NumberText(eventNumber));
  SetText(c::eEvP2, NumberText(*pData));
  SetText(c::eEvP3, BstrText(*pString));
  SetText(c::eEvP4, L"");
}

}  // namespace vostrik
