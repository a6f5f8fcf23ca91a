// FiscalService: the Service Object's thread, the asynchronous output queue
// and events.
#include <algorithm>

#include "fiscal_service.h"
#include "fiscal_service_internal.h"
#include "opos.h"

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

constexpr int kLineFaultBit = 0x02;

}  // namespace

// --- The Service Object's thread ---------------------------------------------

bool FiscalService::OnServiceThread(const std::function<void()>& call) {
  const bool ran = thread_.Start([this](UINT message, WPARAM w, LPARAM l) {
    OnWindowMessage(message, w, l);
  }) && thread_.Run(call);
  relay_.Deliver();  // what the call raised, before it returns
  return ran;
}

void FiscalService::BindControl(IDispatch* control) {
  relay_.Bind(control);
}

void FiscalService::AfterClose() {
  relay_.Unbind();
  thread_.Stop(nullptr);
}

// --- Asynchronous output and events ------------------------------------------

void FiscalService::PostRun() {
  if (runPosted_) return;
  runPosted_ = thread_.Post(kRunMessage, 0, 0);
}

void FiscalService::OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kRunMessage) {
    runPosted_ = false;
    RunQueue();
  } else if (message == kNetMessage && link_.IsOpen()) {
    SetPower((lParam & kLineFaultBit) == 0);
  } else if (message == kErrorAnsweredMessage) {
    OnErrorAnswered(static_cast<long>(wParam), static_cast<long>(lParam));
  }
}

void FiscalService::RunQueue() {
  if (running_ || inTransaction_) return;
  running_ = true;
  while (enabled_ && !queue_.empty() && !errorPending_) {
    // The job in flight is no longer queued: ClearOutput cannot take it
    // back, and what the printer did with it is told.
    const Job job = queue_.front();
    queue_.pop_front();
    const long clears = clears_;
    ecrcmd::Answer answer;
    const Outcome o = Transact(job.command, &answer);
    if (!enabled_) break;  // disabled or closed meanwhile
    if (o) {
      TakeZAnswer(job.command[0], answer);
      Fire(EventRelay::Event::kOutputComplete, job.outputId);
      continue;
    }
    if (clears != clears_) continue;  // its output was cleared meanwhile: no error for it
    queue_.push_front(job);           // first again, for a retry
    errorPending_ = true;
    errorOutId_ = job.outputId;
    NoteError(o, job.stateBefore);
    Done(o);
    // The answer (now, or when events thaw) decides; a retry comes back
    // through the message queue, so the application's thread stays live.
    ++errorSerial_;
    Fire(EventRelay::Event::kError, o.code, o.code == OPOS_E_EXTENDED ? o.extended : 0);
    break;
  }
  if (!errorPending_) FollowPrinter();  // still busy until the model is the printer's again
  running_ = false;
  if (enabled_ && !queue_.empty() && !errorPending_) PostRun();  // queued meanwhile
  if (enabled_ && queue_.empty() && !errorPending_ && flagWhenIdle_) {
    flagWhenIdle_ = false;
    Fire(EventRelay::Event::kStatus, FPTR_SUE_IDLE);
  }
}

void FiscalService::Fire(EventRelay::Event::Kind kind, long value, long extended) {
  relay_.Post(EventRelay::Event{kind, value, extended,
                                kind == EventRelay::Event::kError ? errorSerial_ : 0});
}

void FiscalService::OnErrorAnswered(long serial, long response) {
  if (!errorPending_ || serial != errorSerial_) return;  // cleared meanwhile
  errorPending_ = false;
  if (response == OPOS_ER_RETRY) {
    PostRun();
  } else {
    // Clear: the rest of the output goes; the printer's state is read
    // again, since queued operations had moved the model on.
    ClearQueue();
    clearing_ = true;  // busy until the model is the printer's again
    if (enabled_) Resync();
    clearing_ = false;
  }
}

}  // namespace kso
