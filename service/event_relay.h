// The Service Object's events on their way to the application: raised on
// the Service Object's own thread, delivered through the control's
// callbacks (SOStatusUpdate, SOOutputComplete, SOError) on the thread that
// bound the control, the application's. They wait, in order, while
// FreezeEvents is set or the container has frozen the control's events,
// and are delivered when the application's thread pumps its messages or
// when a call of it ends. The answer to an ErrorEvent goes back to the
// Service Object's thread through onErrorAnswered.
#pragma once

#include <windows.h>
// The COM headers below need the Windows types.
#include <oaidl.h>

#include <deque>
#include <functional>

#include "win_raii.h"

namespace kso {

class EventRelay {
 public:
  struct Event {
    enum Kind { kStatus, kOutputComplete, kError } kind;
    long value;     // status data, output id, or the error's result code
    long extended;  // the error's extended code
    long serial;    // an error's number, given back with its answer
  };
  enum class Freeze { kApplication, kContainer };

  // owner is AddRef'd around each callback, so that a handler that
  // releases the Service Object cannot free it under the delivery.
  explicit EventRelay(IUnknown* owner) : owner_(owner) {}
  EventRelay(const EventRelay&) = delete;
  EventRelay& operator=(const EventRelay&) = delete;
  ~EventRelay() { Unbind(); }

  // --- On the application's thread ---
  // Events go to control's callbacks, on the calling thread; false when
  // the thread's window cannot be made.
  bool Bind(IDispatch* control);
  // No more callbacks; events still held are dropped.
  void Unbind();
  // Delivers what is due now (nothing while frozen).
  void Deliver();

  // --- From any thread ---
  void Post(const Event& e);
  void SetFrozen(Freeze source, bool frozen);
  // The error events not yet delivered go (ClearOutput clears their output).
  void DropErrors();
  // Told the application's answer to an error event (on its thread).
  std::function<void(long serial, long response)> onErrorAnswered;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Under lock_: posts the delivery message when events wait, none is on
  // its way and nothing holds them.
  void AskForDeliveryLocked();
  void Call(DISPID dispid, VARIANT* argsLastFirst, UINT count);

  IUnknown* owner_;
  kr::UniqueWindow window_;
  kr::ComPtr<IDispatch> control_;
  DISPID statusDispid_ = DISPID_UNKNOWN, outputDispid_ = DISPID_UNKNOWN,
         errorDispid_ = DISPID_UNKNOWN;
  bool delivering_ = false;

  kr::CriticalSection lock_;  // guards what follows
  std::deque<Event> held_;
  bool userFrozen_ = false, containerFrozen_ = false;
  bool posted_ = false;  // a delivery message is on its way
};

}  // namespace kso
