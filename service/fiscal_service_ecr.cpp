// FiscalService: ECR transactions, printing and the presettings.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "fiscal_service.h"
#include "fiscal_service_internal.h"
#include "opos.h"
#include "rules.h"

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

Outcome FiscalService::Connect() {
  if (link_.IsOpen()) return Ok();
  const int error = link_.Open(linkSettings_, window_.get(), kNetMessage);
  if (error != 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  error == 101 ? "the link driver is already in use by another device (%d)"
                               : "the ECR cannot be reached over the link (%d)",
                  error);
    errorString_ = text;
    SetPower(false);
    return Outcome{OPOS_E_NOHARDWARE, 0};
  }
  SetPower(true);
  return Ok();
}

void FiscalService::LinkLost() {
  link_.Close();  // opened again by the next transaction
  SetPower(false);
}

Outcome FiscalService::Transact(const std::string& command, ecrcmd::Answer* answer) {
  *answer = ecrcmd::Answer{};
  if (inTransaction_) return Outcome{OPOS_E_BUSY, 0};
  Outcome o = Connect();
  if (!o) return o;
  inTransaction_ = true;
  reporting_ = IsReportCode(command[0]);
  std::string raw;
  int extra = 0;
  const int r = link_.Transact(command, &raw, &extra, answerLimitMs_);
  inTransaction_ = false;
  reporting_ = false;
  char text[160];
  switch (r) {
    case 0:
      if (!ecrcmd::ParseAnswer(raw, answer) || answer->isError || answer->code != command[0]) {
        errorString_ = "the ECR's answer does not belong to the command";
        o = Outcome{OPOS_E_FAILURE, 0};
      } else {
        UpdateFlags(answer->flags);
      }
      break;
    case 8: {
      const uint8_t error = static_cast<uint8_t>(extra);
      answer->isError = true;
      answer->error = error;
      std::snprintf(text, sizeof text, "the ECR refused the command (error %u)", error);
      errorString_ = text;
      // A refusal for paper or cover tells the printer's state as well.
      if (error == cmd::kErrCoverOpen) UpdateFlags(flags_ | cmd::kFlagCoverOpen);
      if (error == cmd::kErrReceiptEmpty) UpdateFlags(flags_ | cmd::kFlagReceiptEmpty);
      if (error == cmd::kErrJournalEmpty) UpdateFlags(flags_ | cmd::kFlagJournalEmpty);
      o = FromEcrError(error);
      break;
    }
    case 1:
      o = Outcome{OPOS_E_BUSY, 0};
      break;
    case 2:
    case 4:
      std::snprintf(text, sizeof text,
                    r == 2 ? "the command could not be sent: the link is down (%d)"
                           : "the ECR did not answer: the link is down or the ECR is off (%d)",
                    extra);
      errorString_ = text;
      LinkLost();
      o = Outcome{r == 2 ? OPOS_E_NOHARDWARE : OPOS_E_TIMEOUT, 0};
      break;
    default:
      std::snprintf(text, sizeof text, "the link driver failed (%d)", r);
      errorString_ = text;
      o = Outcome{OPOS_E_FAILURE, 0};
      break;
  }
  // Output queued while the driver pumped messages is run next.
  if (!queue_.empty() && !running_) PostRun();
  return o;
}

Outcome FiscalService::Query(const std::string& command, ecrcmd::Answer* answer) {
  if (!queue_.empty() || errorPending_) return Outcome{OPOS_E_BUSY, 0};
  Outcome o = Transact(command, answer);
  if (o && answer->fields.empty()) {
    errorString_ = "the ECR's answer lacks its data";
    o = Outcome{OPOS_E_FAILURE, 0};
  }
  return o;
}

Outcome FiscalService::Resync() {
  ecrcmd::Answer status;
  Outcome o = Transact(std::string(1, cmd::kStatus), &status);
  if (!o) return o;
  int64_t document = 0, remaining = 0, subtotal = 0;
  if (status.fields.size() < 5 || !cmd::ParseNumber(status.fields[0], &document) ||
      !cmd::ParseNumber(status.fields[4], &remaining)) {
    errorString_ = "the ECR's status answer is malformed";
    return Outcome{OPOS_E_FAILURE, 0};
  }
  remainingFiscalMemory_ = static_cast<long>(remaining);
  if (document >= cmd::kDocReceipt && document <= cmd::kDocReceiptEnding) {
    ecrcmd::Answer total;
    o = Transact(cmd::Build(cmd::kGetData, {N(cmd::kDataCurrentTotal)}), &total);
    if (!o) return o;
    if (!total.fields.empty()) cmd::ParseNumber(total.fields[0], &subtotal);
  }
  model_.Sync(static_cast<cmd::DocumentState>(document), (status.flags & cmd::kFlagTraining) != 0,
              subtotal);
  return Ok();
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
    Fire(Event{Event::kStatus, is ? f.on : f.off, 0});
  }
}

void FiscalService::SetPower(bool online) {
  if (online == powerOnline_) return;
  powerOnline_ = online;
  if (powerNotify_ == OPOS_PN_ENABLED && enabled_) {
    Fire(Event{Event::kStatus, online ? OPOS_SUE_POWER_ONLINE : OPOS_SUE_POWER_OFF_OFFLINE, 0});
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
  if (!o) return Done(o);
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
