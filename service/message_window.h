// The Service Object's messages: a message-only window of this module, through
// which its threads take their posted messages, and the wait that keeps the
// application's thread pumping while a call waits for something.
#pragma once

#include <windows.h>

#include <functional>

namespace kso {

// Creates a message-only window of the class className (registered with
// windowProc the first time) on the calling thread, with owner in its
// GWLP_USERDATA; returns it, or nullptr when it cannot be made.
HWND CreateMessageWindow(const wchar_t* className, WNDPROC windowProc, void* owner);

// Waits for any of the handles while dispatching the thread's messages,
// calling pumped() after each round of them; returns the wait's result. A
// WM_QUIT seen meanwhile is the application's own: it is posted again once
// the wait is over.
DWORD WaitPumping(const HANDLE* handles, DWORD count, const std::function<void()>& pumped = {});

}  // namespace kso
