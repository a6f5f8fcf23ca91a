#include "message_window.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kso {

HWND CreateMessageWindow(const wchar_t* className, WNDPROC windowProc, void* owner) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(instance, className, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = instance;
    wc.lpszClassName = className;
    RegisterClassExW(&wc);
  }
  HWND window =
      CreateWindowExW(0, className, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (window) SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
  return window;
}

}  // namespace kso
