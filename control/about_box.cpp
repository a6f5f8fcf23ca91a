#include "about_box.h"

#include "kerunel_resources.h"
#include "own_module.h"

namespace kr {

namespace {

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

void ShowAboutBox(HWND owner) {
  ::DialogBoxParamW(OwnModule(), MAKEINTRESOURCEW(IDD_KERUNEL_ABOUT), owner, AboutProc, 0);
}

}  // namespace kr
