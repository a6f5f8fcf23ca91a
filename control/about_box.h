// The about box of the control (dialog 1).
#pragma once

#include <windows.h>

namespace kr {

// Shows the about box modally over `owner` (none: no owner) and returns when
// the user presses OK or closes it.
void ShowAboutBox(HWND owner);

}  // namespace kr
