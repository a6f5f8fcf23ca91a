// The module this code is linked into (Kerunel.ocx, or a test program that
// links the control's library directly).
#pragma once

#include <windows.h>

#include <string>

namespace kr {

HMODULE OwnModule();
// The module's full path; empty when it cannot be had.
std::wstring OwnModulePath();
// The module's file name without directory and extension ("Kerunel").
std::wstring OwnModuleName();

}  // namespace kr
