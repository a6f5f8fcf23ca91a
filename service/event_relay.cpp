#include "event_relay.h"

#include <algorithm>

#include "message_window.h"
#include "opos.h"

namespace kso {
namespace {

constexpr wchar_t kWindowClass[] = L"KerunelServiceEvents";
constexpr UINT kDeliverMessage = WM_APP + 1;

}  // namespace

LRESULT CALLBACK EventRelay::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* relay = reinterpret_cast<EventRelay*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (relay && message == kDeliverMessage) {
    {
      kr::LockGuard<kr::CriticalSection> guard(relay->lock_);
      relay->posted_ = false;
    }
    relay->Deliver();
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool EventRelay::Bind(IDispatch* control) {
  Unbind();
  window_.reset(CreateMessageWindow(kWindowClass, WindowProc, this));
  if (!window_) return false;
  control_ = kr::ComPtr<IDispatch>(control);
  if (control_) {
    const wchar_t* names[] = {L"SOStatusUpdate", L"SOOutputComplete", L"SOError"};
    DISPID* slots[] = {&statusDispid_, &outputDispid_, &errorDispid_};
    for (int i = 0; i < 3; ++i) {
      LPOLESTR name = const_cast<LPOLESTR>(names[i]);
      if (FAILED(control_->GetIDsOfNames(IID_NULL, &name, 1, 0, slots[i]))) {
        *slots[i] = DISPID_UNKNOWN;
      }
    }
  }
  return true;
}

void EventRelay::Unbind() {
  {
    kr::LockGuard<kr::CriticalSection> guard(lock_);
    held_.clear();
    posted_ = false;
    userFrozen_ = containerFrozen_ = false;
  }
  window_.reset();
  kr::ComPtr<IDispatch> control = std::move(control_);
  control.reset();  // last: the control may go away with it
}

void EventRelay::Post(const Event& e) {
  kr::LockGuard<kr::CriticalSection> guard(lock_);
  held_.push_back(e);
  AskForDeliveryLocked();
}

void EventRelay::SetFrozen(Freeze source, bool frozen) {
  kr::LockGuard<kr::CriticalSection> guard(lock_);
  (source == Freeze::kApplication ? userFrozen_ : containerFrozen_) = frozen;
  AskForDeliveryLocked();
}

void EventRelay::AskForDeliveryLocked() {
  if (!posted_ && window_ && !held_.empty() && !userFrozen_ && !containerFrozen_) {
    posted_ = PostMessageW(window_.get(), kDeliverMessage, 0, 0) != FALSE;
  }
}

void EventRelay::DropErrors() {
  kr::LockGuard<kr::CriticalSection> guard(lock_);
  held_.erase(std::remove_if(held_.begin(), held_.end(),
                             [](const Event& e) { return e.kind == Event::kError; }),
              held_.end());
}

void EventRelay::Deliver() {
  if (delivering_) return;  // the outer delivery goes on with the rest, in order
  delivering_ = true;
  owner_->AddRef();
  for (;;) {
    Event e;
    {
      kr::LockGuard<kr::CriticalSection> guard(lock_);
      if (held_.empty() || userFrozen_ || containerFrozen_ || !control_) break;
      e = held_.front();
      held_.pop_front();
    }
    VARIANT args[4];
    for (VARIANT& v : args) {
      VariantInit(&v);
      v.vt = VT_I4;
    }
    switch (e.kind) {
      case Event::kStatus:
        args[0].lVal = e.value;
        Call(statusDispid_, args, 1);
        break;
      case Event::kOutputComplete:
        args[0].lVal = e.value;
        Call(outputDispid_, args, 1);
        break;
      case Event::kError: {
        // The application answers in its handler; we propose a retry.
        long response = opos::OPOS_ER_RETRY;
        args[0].vt = VT_BYREF | VT_I4;
        args[0].plVal = &response;
        args[1].lVal = opos::OPOS_EL_OUTPUT;
        args[2].lVal = e.extended;
        args[3].lVal = e.value;
        Call(errorDispid_, args, 4);
        if (onErrorAnswered) onErrorAnswered(e.serial, response);
        break;
      }
    }
  }
  delivering_ = false;
  owner_->Release();
}

void EventRelay::Call(DISPID dispid, VARIANT* argsLastFirst, UINT count) {
  if (!control_ || dispid == DISPID_UNKNOWN) return;
  kr::ComPtr<IDispatch> control = control_;  // held across the call
  DISPPARAMS params{argsLastFirst, nullptr, count, 0};
  control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                  nullptr);
}

}  // namespace kso
