// References that must not be released where the caller stands: a Service
// Object whose own code is still on the stack below (it called the control
// back, and a handler closed the control) may only go once that code has
// returned. Such a reference waits for the thread's next message pumping.
#pragma once

#include "win_raii.h"

namespace kr {

// Releases `object` when the calling thread next dispatches its messages;
// right away when the thread cannot be sent a message. While it waits the
// module counts as in use.
void ReleaseWhenIdle(ComPtr<IUnknown> object);

// References waiting for their thread's message pumping.
LONG PendingReleases();

}  // namespace kr
