// FiscalService: ECR transactions, printing and the presettings.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "ecr_answer.h"
#include "fiscal_service.h"
#include "fiscal_service_internal.h"
#include "opos.h"
#include "rules.h"
#include "service_ids.h"

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

// Status flags and the status updates they raise when they come and go.
struct FlagEvent {
  int flag;
  long on;
  long off;
};
constexpr FlagEvent kFlagEvents[] = {
    {cmd::kFlagCoverOpen, FPTR_SUE_COVER_OPEN, FPTR_SUE_COVER_OK},
    {cmd::kFlagReceiptEmpty, FPTR_SUE_REC_EMPTY, FPTR_SUE_REC_PAPEROK},
    {cmd::kFlagReceiptNearEnd, FPTR_SUE_REC_NEAREMPTY, FPTR_SUE_REC_PAPEROK},
    {cmd::kFlagJournalEmpty, FPTR_SUE_JRN_EMPTY, FPTR_SUE_JRN_PAPEROK},
    {cmd::kFlagJournalNearEnd, FPTR_SUE_JRN_NEAREMPTY, FPTR_SUE_JRN_PAPEROK},
};

// "22", "22.5", "22.00" or "22,00" as hundredths of a percent; -1 when not one.
long ParseRate(const std::string& text) {
  long whole = 0, fraction = 0;
  int digits = 0, fractionDigits = -1;
  for (char c : text) {
    if ((c == '.' || c == ',') && fractionDigits < 0) {
      fractionDigits = 0;
    } else if (c >= '0' && c <= '9' && fractionDigits < 2) {
      if (fractionDigits < 0) {
        if (++digits > 2) return -1;
        whole = whole * 10 + (c - '0');
      } else {
        fraction = fraction * 10 + (c - '0');
        ++fractionDigits;
      }
    } else {
      return -1;
    }
  }
  if (digits == 0) return -1;
  if (fractionDigits == 1) fraction *= 10;
  return whole * 100 + fraction;
}

bool IsReportCode(char code) {
  return code == cmd::kXReport || code == cmd::kZReport || code == cmd::kPeriodicReport ||
         code == cmd::kMemoryReport || code == cmd::kPowerLossReport;
}

// A presetting's text: a field text of at most limit characters.
Outcome CheckText(const std::string& text, size_t limit) {
  return FromEcrError(fiscal::CheckLine(text, limit));
}

}  // namespace

// --- ECR transactions -------------------------------------------------------

namespace {

constexpr int kResultThreadTimeout = 105;  // EcrIO's extra result: the driver may send it later
constexpr int kStraysTolerated = 2;        // answers to other commands before the link is renewed

}  // namespace

Outcome FiscalService::Connect() {
  if (link_.IsOpen()) return Ok();
  if (!open_ || !claimed_ || !(enabled_ || enabling_)) {
    return Outcome{OPOS_E_NOHARDWARE, 0};  // disabled or closed meanwhile: no new link
  }
  const int error = link_.Open(linkSettings_, thread_.Window(), kNetMessage);
  char text[160];
  if (error != 0) {
    std::snprintf(text, sizeof text,
                  error == 101 ? "the link driver is already in use by another device (%d)"
                               : "the ECR cannot be reached over the link (%d)",
                  error);
    errorString_ = text;
    SetPower(false);
    return error == 101 ? Outcome{OPOS_E_NOHARDWARE, 0} : Unreachable();
  }
  SetPower(true);
  // A new link begins with where the ECR stands: command numbers go on from
  // its last one, and the model follows it once the call is done.
  std::string raw, why;
  int extra = 0;
  const std::string command(1, cmd::kSync);
  const int r = link_.Transact(command, &raw, &extra, answerLimitMs_);
  ecrcmd::Answer answer;
  ecrcmd::SyncState sync;
  const cmd::AnswerFit fit =
      r == 0 ? cmd::ReadAnswer(command, 0, raw, &answer, &why) : cmd::AnswerFit::kNotThis;
  if (fit == cmd::AnswerFit::kValid && !answer.isError && cmd::ParseSync(answer, &sync) &&
      sync.version >= cmd::kCommandSetVersion) {
    UpdateFlags(answer.flags);
    TakeSync(sync);
    resyncDue_ = true;
    log_.Write("NEW LINK: the ECR's last command number %lld, document %lld",
               static_cast<long long>(sync.lastNumber), static_cast<long long>(sync.document));
    return Ok();
  }
  LinkLost();
  if (fit == cmd::AnswerFit::kMalformed) {
    errorString_ = "the ECR's answer to '" + command + "' is not valid: " + why;
    return Outcome{OPOS_E_FAILURE, KSO_EXTENDED_BAD_ANSWER};
  }
  if (r == 0 || r == 8) {
    std::snprintf(text, sizeof text,
                  "the ECR does not speak the Kerunel ECR command set version %d or later",
                  cmd::kCommandSetVersion);
    errorString_ = text;
    return Outcome{OPOS_E_FAILURE, 0};
  }
  std::snprintf(text, sizeof text, "the ECR did not answer over the new link (%d/%d)", r, extra);
  errorString_ = text;
  return Unreachable();
}

void FiscalService::LinkLost() {
  link_.Close();  // opened again by the next transaction
  SetPower(false);
}

Outcome FiscalService::Transact(const std::string& command, ecrcmd::Answer* answer, bool raw) {
  *answer = ecrcmd::Answer{};
  if (inTransaction_) return Outcome{OPOS_E_BUSY, 0};
  inTransaction_ = true;
  reporting_ = IsReportCode(command[0]);
  const bool query = cmd::IsQuery(command[0]);
  const bool again =
      !raw && !query && unsettled_.state != Unsettled::kNone && command == unsettled_.command;
  Outcome o = Ok();
  int64_t number = 0;
  if (again) {
    number = unsettled_.number;  // the same command again: the ECR runs it once at most
  } else {
    if (unsettled_.state == Unsettled::kUnknown) o = Settle();
    if (o && !query) unsettled_ = Unsettled{};
    if (!raw) number = ++lastNumber_;
  }
  if (o) {
    o = SendUntilAnswered(command, number, answer);
    if (again && o.code != OPOS_E_TIMEOUT) {
      unsettled_ = Unsettled{};
      resyncDue_ = true;  // the model may have counted it already: the printer's word
    }
    if (!raw && !query && o.code == OPOS_E_TIMEOUT) {
      unsettled_ = Unsettled{Unsettled::kUnknown, command, number};
    }
  }
  inTransaction_ = false;
  reporting_ = false;
  // Output queued while the driver pumped messages is run next.
  if (!queue_.empty() && !running_) PostRun();
  return o;
}

Outcome FiscalService::SendUntilAnswered(const std::string& command, int64_t number,
                                         ecrcmd::Answer* answer) {
  const std::string message = number != 0 ? cmd::Numbered(command, number) : command;
  bool reached = false;  // the command may have reached the ECR
  int links = 0, strays = 0, extra = 0;
  char text[200];
  for (;;) {
    Outcome o = Connect();
    if (!o) {
      if (!reached) return o;
      break;
    }
    std::string raw;
    const int r = link_.Transact(message, &raw, &extra,
                                 IsReportCode(command[0]) ? reportLimitMs_ : answerLimitMs_);
    if (r == 0 || r == 8) {
      reached = true;
      std::string why;
      const cmd::AnswerFit fit = cmd::ReadAnswer(command, number, raw, answer, &why);
      if (fit == cmd::AnswerFit::kMalformed) return BadAnswer(command, why, answer);
      if (fit == cmd::AnswerFit::kValid) {
        UpdateFlags(answer->isError ? flags_ : answer->flags);
        if (!answer->isError) return Ok();
        const uint8_t error = answer->error;
        std::snprintf(text, sizeof text, "the ECR refused the command (error %u)", error);
        errorString_ = text;
        // A refusal for paper or cover tells the printer's state as well.
        if (error == cmd::kErrCoverOpen) UpdateFlags(flags_ | cmd::kFlagCoverOpen);
        if (error == cmd::kErrReceiptEmpty) UpdateFlags(flags_ | cmd::kFlagReceiptEmpty);
        if (error == cmd::kErrJournalEmpty) UpdateFlags(flags_ | cmd::kFlagJournalEmpty);
        if (error == cmd::kErrWrongState) resyncDue_ = true;
        return FromEcrError(error);
      }
      // Another command's answer, late or repeated: ask again, same number.
      *answer = ecrcmd::Answer{};
      if (number != 0 && ++strays <= kStraysTolerated) continue;
    } else if (r == 1) {
      return Outcome{OPOS_E_BUSY, 0};
    } else if (r != 2 || extra == kResultThreadTimeout) {
      reached = true;  // no answer in time, or a send the driver may still make
    }
    if (number == 0 && reached) break;  // a raw command is never sent twice
    log_.Write("LINK FAULT on command #%lld (EcrIO %d, extra %d): %s",
               static_cast<long long>(number), r, extra,
               links == 0 ? "asking again over a new link" : "giving up");
    LinkLost();
    if (++links > 1) break;  // the command goes once more, over a new link
  }
  if (!reached) {
    std::snprintf(text, sizeof text, "the command could not be sent: the link is down (%d)", extra);
    errorString_ = text;
    return Unreachable();
  }
  std::snprintf(text, sizeof text,
                "the ECR did not answer (%d): whether it carried out the command is not known "
                "yet; the next call finds out, and the same call again is carried out once at most",
                extra);
  errorString_ = text;
  log_.Write("OUTCOME UNKNOWN of command #%lld: settled by the next call",
             static_cast<long long>(number));
  return Outcome{OPOS_E_TIMEOUT, 0};
}

Outcome FiscalService::BadAnswer(const std::string& command, const std::string& why,
                                 ecrcmd::Answer* answer) {
  log_.Write("BAD ANSWER to '%c': %s", command[0], why.c_str());
  if (!cmd::IsQuery(command[0])) {
    // The ECR carried the command out (the answer is its own): it stands,
    // nothing in the answer is used, and the model is read from the ECR again.
    answer->flags = flags_;
    answer->fields.clear();
    resyncDue_ = true;
    return Ok();
  }
  errorString_ = "the ECR's answer to '" + command.substr(0, 1) + "' is not valid: " + why;
  return Outcome{OPOS_E_FAILURE, KSO_EXTENDED_BAD_ANSWER};
}

Outcome FiscalService::Settle() {
  ecrcmd::Answer answer;
  ecrcmd::SyncState sync;
  Outcome o = SendUntilAnswered(std::string(1, cmd::kSync), ++lastNumber_, &answer);
  if (o && !cmd::ParseSync(answer, &sync)) o = Outcome{OPOS_E_FAILURE, 0};
  if (o.extended == KSO_EXTENDED_BAD_ANSWER) return o;  // ErrorString tells what
  if (!o) {
    errorString_ =
        "an earlier command's outcome is not known yet and the ECR cannot be reached: "
        "nothing was sent";
    return Unreachable();
  }
  TakeSync(sync);
  return Ok();
}

void FiscalService::TakeSync(const ecrcmd::SyncState& sync) {
  lastNumber_ = std::max(lastNumber_, sync.lastNumber);
  TakeFreeRecords(sync.freeZRecords);
  if (unsettled_.state == Unsettled::kUnknown) {
    const bool done = sync.lastNumber >= unsettled_.number;
    unsettled_.state = done ? Unsettled::kDone : Unsettled::kNotDone;
    resyncDue_ = true;
    log_.Write("SETTLED command #%lld: %s", static_cast<long long>(unsettled_.number),
               done ? "the ECR carried it out" : "the ECR did not carry it out");
  }
}

Outcome FiscalService::Query(const std::string& command, ecrcmd::Answer* answer) {
  if (!queue_.empty() || errorPending_) return Outcome{OPOS_E_BUSY, 0};
  Outcome o = Transact(command, answer);
  if (o && answer->fields.empty()) {
    errorString_ = "the ECR's answer lacks its data";
    o = Outcome{OPOS_E_FAILURE, 0};
  }
  FollowPrinter();
  return o;
}

Outcome FiscalService::Resync() {
  ecrcmd::Answer answer;
  Outcome o = Transact(std::string(1, cmd::kSync), &answer);
  if (!o) return o;
  ecrcmd::SyncState sync;
  if (!cmd::ParseSync(answer, &sync)) {
    errorString_ = "the ECR's sync answer is malformed";
    return Outcome{OPOS_E_FAILURE, 0};
  }
  TakeSync(sync);
  if (!queue_.empty()) return Ok();  // queued output moves the model on: it follows when done
  model_.Sync(static_cast<cmd::DocumentState>(sync.document),
              (answer.flags & cmd::kFlagTraining) != 0, sync.subtotal, sync.due, sync.lastItem);
  resyncDue_ = false;
  log_.Write("RESYNC: document %lld, subtotal %lld, due %lld",
             static_cast<long long>(sync.document), static_cast<long long>(sync.subtotal),
             static_cast<long long>(sync.due));
  return Ok();
}

void FiscalService::TakeFreeRecords(int64_t free) {
  remainingFiscalMemory_ = static_cast<long>(free);
  memoryFull_ = free <= 0;
}

void FiscalService::TakeZAnswer(char code, const ecrcmd::Answer& answer) {
  int64_t free = 0;
  if (code == cmd::kZReport && answer.fields.size() >= 2 &&
      cmd::ParseNumber(answer.fields[1], &free)) {
    TakeFreeRecords(free);
  }
}

void FiscalService::FollowPrinter() {
  if (resyncDue_ && enabled_ && queue_.empty() && !inTransaction_) Resync();
}

void FiscalService::UpdateFlags(int flags) {
  const int before = flags_;
  flags_ = flags;
  if (!enabled_) return;
  for (const FlagEvent& f : kFlagEvents) {
    const bool was = (before & f.flag) != 0, is = (flags & f.flag) != 0;
    if (was == is) continue;
    // Paper coming back after near-end and empty is one "paper OK".
    if (!is && f.flag == cmd::kFlagReceiptNearEnd && (flags & cmd::kFlagReceiptEmpty)) continue;
    if (!is && f.flag == cmd::kFlagReceiptEmpty && (before & cmd::kFlagReceiptNearEnd) &&
        !(flags & cmd::kFlagReceiptNearEnd)) {
      continue;  // the near-end row reports it
    }
    Fire(EventRelay::Event::kStatus, is ? f.on : f.off);
  }
}

void FiscalService::SetPower(bool online) {
  if (online == powerOnline_) return;
  powerOnline_ = online;
  if (powerNotify_ == OPOS_PN_ENABLED && enabled_) {
    Fire(EventRelay::Event::kStatus, online ? OPOS_SUE_POWER_ONLINE : OPOS_SUE_POWER_OFF_OFFLINE);
  }
}

// --- Printing ---------------------------------------------------------------

long FiscalService::Print(const std::string& command, const ReceiptModel& next) {
  if (command.size() > cmd::kMaxMessage) return Done(OPOS_E_ILLEGAL);
  if (asyncMode_) {
    const long stateBefore = model_.PrinterState();
    model_ = next;
    outputId_ = ++lastOutputId_;
    queue_.push_back(Job{command, outputId_, stateBefore});
    PostRun();
    return Done(Ok());
  }
  if (!queue_.empty() || errorPending_) return Done(OPOS_E_BUSY);
  ecrcmd::Answer answer;
  Outcome o = Transact(command, &answer);
  if (!o) {
    FollowPrinter();
    return Done(o);
  }
  model_ = next;
  // The ECR's figures are the last word on the receipt.
  int64_t value = 0;
  if (!answer.fields.empty() && cmd::ParseNumber(answer.fields[0], &value)) {
    switch (command[0]) {
      case cmd::kItem:
      case cmd::kItemAdjustment:
      case cmd::kVoidItem:
      case cmd::kRefund:
      case cmd::kSubtotal:
      case cmd::kSubtotalAdjustment:
        model_.SetSubtotal(value);
        break;
      case cmd::kPayment:
      case cmd::kNotPaid:
        model_.SetDue(value);
        break;
      default:
        break;
    }
  }
  TakeZAnswer(command[0], answer);
  FollowPrinter();
  return Done(o);
}

// A presetting: sent at once, only in the Monitor state.
long FiscalService::Setting(const std::string& command, Outcome check) {
  Outcome o = Ready();
  if (o) o = check;
  if (o) o = model_.MonitorOnly();
  if (o && command.size() > cmd::kMaxMessage) o = Illegal();
  if (o && (!queue_.empty() || errorPending_)) o = Outcome{OPOS_E_BUSY, 0};
  ecrcmd::Answer answer;
  if (o) o = Transact(command, &answer);
  FollowPrinter();
  return Done(o);
}

long FiscalService::SetDate(const std::string& date) {
  return Setting(cmd::Build(cmd::kSetDate, {date}),
                 IsDigits(date, 12) ? Ok() : Extended(OPOS_EFPTR_BAD_DATE));
}

long FiscalService::SetHeaderLine(long line, const std::string& text, bool doubleWidth) {
  Outcome check = line >= 1 && line <= cmd::kHeaderLines
                      ? CheckText(text, doubleWidth ? cmd::kLineWidth / 2 : cmd::kLineWidth)
                      : Illegal();
  return Setting(cmd::Build(cmd::kHeaderLine, {N(line), doubleWidth ? "1" : "0", text}), check);
}

long FiscalService::SetTrailerLine(long line, const std::string& text, bool doubleWidth) {
  Outcome check = line >= 1 && line <= cmd::kTrailerLines
                      ? CheckText(text, doubleWidth ? cmd::kLineWidth / 2 : cmd::kLineWidth)
                      : Illegal();
  return Setting(cmd::Build(cmd::kTrailerLine, {N(line), doubleWidth ? "1" : "0", text}), check);
}

long FiscalService::SetPOSID(const std::string& posId, const std::string& cashierId) {
  Outcome check = CheckText(posId, 4);
  if (check) check = CheckText(cashierId, 8);
  return Setting(cmd::Build(cmd::kPosId, {posId, cashierId}), check);
}

long FiscalService::SetStoreFiscalID(const std::string& id) {
  return Setting(cmd::Build(cmd::kStoreId, {id}), CheckText(id, 16));
}

long FiscalService::SetVatValue(long vatId, const std::string& value) {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  const long rate = ParseRate(value);
  if (o && (vatId < 1 || vatId > cmd::kVatRates || rate < 0 || rate > cmd::kMaxRate)) {
    o = Extended(OPOS_EFPTR_BAD_VAT);
  }
  if (o) vatPending_[vatId - 1] = rate;  // sent by SetVatTable
  return Done(o);
}

long FiscalService::SetVatTable() {
  std::vector<std::string> rates;
  bool any = false;
  for (long rate : vatPending_) {
    rates.push_back(rate < 0 ? std::string() : N(rate));
    any = any || rate >= 0;
  }
  const long result = Setting(cmd::Build(cmd::kVatTable, rates), any ? Ok() : Illegal());
  if (result == OPOS_SUCCESS) std::fill(std::begin(vatPending_), std::end(vatPending_), -1);
  return result;
}

}  // namespace kso
