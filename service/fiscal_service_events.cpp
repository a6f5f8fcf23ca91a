// FiscalService: the message window, the asynchronous output queue and events.
#include <algorithm>

#include "fiscal_service.h"
#include "fiscal_service_internal.h"
#include "opos.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

constexpr wchar_t kWindowClass[] = L"KerunelServiceWindow";
constexpr int kLineFaultBit = 0x02;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* service = reinterpret_cast<FiscalService*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (service && (message == kRunMessage || message == kNetMessage)) {
    service->OnWindowMessage(message, wParam, lParam);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

HWND CreateMessageWindow(FiscalService* service) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(&__ImageBase);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  if (!GetClassInfoExW(instance, kWindowClass, &wc)) {
    wc = WNDCLASSEXW{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
  }
  HWND hwnd = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
  if (hwnd) SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(service));
  return hwnd;
}

// --- Asynchronous output and events ------------------------------------------

void FiscalService::PostRun() {
  if (runPosted_ || !window_) return;
  runPosted_ = PostMessageW(window_.get(), kRunMessage, 0, 0) != FALSE;
}

void FiscalService::OnWindowMessage(UINT message, WPARAM, LPARAM lParam) {
  owner_->AddRef();  // an event handler may close and release us
  if (message == kRunMessage) {
    runPosted_ = false;
    RunQueue();
  } else if (message == kNetMessage && link_.IsOpen()) {
    SetPower((lParam & kLineFaultBit) == 0);
  }
  owner_->Release();
}

void FiscalService::RunQueue() {
  if (running_ || inTransaction_) return;
  running_ = true;
  while (enabled_ && !queue_.empty() && !errorPending_) {
    const Job job = queue_.front();
    ecrcmd::Answer answer;
    const Outcome o = Transact(job.command, &answer);
    if (!enabled_ || queue_.empty()) break;  // disabled or cleared meanwhile
    if (o) {
      queue_.pop_front();
      Fire(Event{Event::kOutputComplete, job.outputId, 0});
      continue;
    }
    errorPending_ = true;
    errorOutId_ = job.outputId;
    errorState_ = job.stateBefore;
    errorLevel_ = FPTR_EL_RECOVERABLE;
    errorStation_ = FPTR_S_RECEIPT;
    Done(o);
    // The answer (now, or when events thaw) decides; a retry comes back
    // through the message queue, so the application's thread stays live.
    Fire(Event{Event::kError, o.code, o.code == OPOS_E_EXTENDED ? o.extended : 0});
    break;
  }
  running_ = false;
  if (!errorPending_) FollowPrinter();
  if (enabled_ && queue_.empty() && !errorPending_ && flagWhenIdle_) {
    flagWhenIdle_ = false;
    Fire(Event{Event::kStatus, FPTR_SUE_IDLE, 0});
  }
}

void FiscalService::Fire(const Event& e) {
  held_.push_back(e);
  if (!Frozen()) DeliverHeld();
}

void FiscalService::DeliverHeld() {
  if (delivering_) return;  // the outer delivery goes on with the rest, in order
  delivering_ = true;
  while (!Frozen() && !held_.empty() && open_) {
    const Event e = held_.front();
    held_.pop_front();
    Deliver(e);
  }
  delivering_ = false;
}

void FiscalService::Deliver(const Event& e) {
  VARIANT args[4];
  for (VARIANT& v : args) {
    VariantInit(&v);
    v.vt = VT_I4;
  }
  switch (e.kind) {
    case Event::kStatus:
      args[0].lVal = e.value;
      CallControl(statusDispid_, args, 1);
      return;
    case Event::kOutputComplete:
      args[0].lVal = e.value;
      CallControl(outputDispid_, args, 1);
      return;
    case Event::kError: {
      // The application answers in its handler; we propose a retry.
      long response = OPOS_ER_RETRY;
      args[0].vt = VT_BYREF | VT_I4;
      args[0].plVal = &response;
      args[1].lVal = OPOS_EL_OUTPUT;
      args[2].lVal = e.extended;
      args[3].lVal = e.value;
      CallControl(errorDispid_, args, 4);
      if (!errorPending_) return;  // cleared from the handler
      errorPending_ = false;
      if (response == OPOS_ER_RETRY) {
        PostRun();
      } else {
        // Clear: the rest of the output goes; the printer's state is read
        // again, since queued operations had moved the model on.
        ClearQueue();
        if (enabled_) Resync();
      }
      return;
    }
  }
}

void FiscalService::CallControl(DISPID dispid, VARIANT* argsLastFirst, UINT count) {
  if (!control_ || dispid == DISPID_UNKNOWN) return;
  kr::ComPtr<IDispatch> control = control_;  // held across the call
  DISPPARAMS params{argsLastFirst, nullptr, count, 0};
  control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                  nullptr);
}

}  // namespace kso
