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

DWORD WaitPumping(const HANDLE* handles, DWORD count, const std::function<void()>& pumped) {
  bool quit = false;
  WPARAM quitCode = 0;
  DWORD w;
  for (;;) {
    w = MsgWaitForMultipleObjects(count, handles, FALSE, INFINITE, QS_ALLINPUT);
    if (w != WAIT_OBJECT_0 + count) break;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = msg.wParam;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (pumped) pumped();
  }
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
  return w;
}

}  // namespace kso
