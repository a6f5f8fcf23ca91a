// A message-only window of this module: the Service Object's threads take
// their posted messages through one.
#pragma once

#include <windows.h>

namespace kso {

// Creates a message-only window of the class className (registered with
// windowProc the first time) on the calling thread, with owner in its
// GWLP_USERDATA; returns it, or nullptr when it cannot be made.
HWND CreateMessageWindow(const wchar_t* className, WNDPROC windowProc, void* owner);

}  // namespace kso
