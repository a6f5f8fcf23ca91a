// FiscalService: the fiscal receipt, reports, non-fiscal printing, training
// and the data requests.
#include <cstdio>

#include "fiscal_service.h"
#include "fiscal_service_internal.h"
#include "opos.h"
#include "rules.h"

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

// Converts the OPOS currency arguments of one call to cents; the first that
// is finer than a cent gives its extended code.
struct Cents {
  Outcome outcome;
  int64_t operator()(int64_t currency, long extendedCode) {
    int64_t cents = 0;
    if (!fiscal::CentsFromCurrency(currency, &cents) && outcome) outcome = Extended(extendedCode);
    return cents;
  }
};

fiscal::Operation Op(char code) {
  fiscal::Operation op;
  op.code = code;
  return op;
}

// ddmmyyyy or ddmmyyyyhhmm, the forms a report takes its dates in.
bool IsReportDate(const std::string& s) {
  return IsDigits(s, 8) || IsDigits(s, 12);
}

}  // namespace

// --- Documents: one path for every receipt line, payment and mode ------------

long FiscalService::Perform(const fiscal::Operation& op, Outcome check) {
  Outcome o = Ready();
  if (o) o = check;
  if (o && op.code == cmd::kOpenReceipt) o = FiscalWorkAllowed();
  ReceiptModel next = model_;
  if (o) o = next.Apply(op);
  if (!o) return Done(o);
  return Print(fiscal::BuildCommand(op), next);
}

long FiscalService::BeginFiscalReceipt(bool printHeader) {
  fiscal::Operation op = Op(cmd::kOpenReceipt);
  op.flag = printHeader ? 1 : 0;
  return Perform(op);
}

long FiscalService::EndFiscalReceipt(bool) {
  return Perform(Op(cmd::kCloseReceipt));
}

long FiscalService::PrintDuplicateReceipt() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o && !duplicateReceipt_) o = Illegal();  // the application did not ask for copies
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kDuplicate), model_);
}

long FiscalService::PrintRecItem(const std::string& description, int64_t price, long quantity,
                                 long vatInfo, int64_t unitPrice, const std::string& unitName) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kItem);
  op.text = description;
  op.amount = cents(price, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  op.quantity = quantity;
  op.vat = vatInfo;
  op.unitPrice = cents(unitPrice, OPOS_EFPTR_BAD_PRICE);
  op.unitName = unitName;
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecItemAdjustment(long type, const std::string& description,
                                           int64_t amount, long vatInfo) {
  Cents cents;  // an amount, or hundredths of a percent
  fiscal::Operation op = Op(cmd::kItemAdjustment);
  op.type = type;
  op.text = description;
  op.amount = cents(amount, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  op.vat = vatInfo;
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecMessage(const std::string& message) {
  fiscal::Operation op = Op(cmd::kMessage);
  op.lines = fiscal::SplitLines(message);
  return Perform(op);
}

long FiscalService::PrintRecNotPaid(const std::string& description, int64_t amount) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kNotPaid);
  op.text = description;
  op.amount = cents(amount, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecRefund(const std::string& description, int64_t amount, long vatInfo) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kRefund);
  op.text = description;
  op.amount = cents(amount, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  op.vat = vatInfo;
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecSubtotal(int64_t amount) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kSubtotal);
  op.amount = cents(amount, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecSubtotalAdjustment(long type, const std::string& description,
                                               int64_t amount) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kSubtotalAdjustment);
  op.type = type;
  op.text = description;
  op.amount = cents(amount, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecTotal(int64_t total, int64_t payment, const std::string& description) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kPayment);
  const int64_t totalCents = cents(total, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  // With CheckTotal the printer compares the application's total with its own.
  op.total = checkTotal_ ? totalCents : fiscal::kNoTotal;
  op.amount = cents(payment, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  op.text = description;
  return Perform(op, cents.outcome);
}

long FiscalService::PrintRecVoid(const std::string& description) {
  fiscal::Operation op = Op(cmd::kVoidReceipt);
  op.text = description;
  return Perform(op);
}

long FiscalService::PrintRecVoidItem(const std::string& description, int64_t amount, long quantity,
                                     long adjustmentType, int64_t adjustment, long vatInfo) {
  Cents cents;
  fiscal::Operation op = Op(cmd::kVoidItem);
  op.text = description;
  op.amount = cents(amount, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  op.quantity = quantity;
  op.type = adjustmentType;
  op.adjustment = cents(adjustment, OPOS_EFPTR_BAD_ITEM_AMOUNT);
  op.vat = vatInfo;
  return Perform(op, cents.outcome);
}

// --- Reports, non-fiscal printing, training ----------------------------------

long FiscalService::PrintPeriodicTotalsReport(const std::string& date1, const std::string& date2) {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o && (!IsReportDate(date1) || !IsReportDate(date2))) o = Extended(OPOS_EFPTR_BAD_DATE);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kPeriodicReport, {date1, date2}), model_);
}

long FiscalService::PrintPowerLossReport() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kPowerLossReport), model_);
}

long FiscalService::PrintReport(long reportType, const std::string& start, const std::string& end) {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o && reportType == FPTR_RT_DATE && (!IsReportDate(start) || !IsReportDate(end))) {
    o = Extended(OPOS_EFPTR_BAD_DATE);
  }
  int64_t first = 0, last = 0;
  if (o && reportType == FPTR_RT_ORDINAL &&
      (!cmd::ParseNumber(start, &first) || !cmd::ParseNumber(end, &last) || first < 1 ||
       last < first)) {
    o = Illegal();
  }
  if (o && reportType != FPTR_RT_ORDINAL && reportType != FPTR_RT_DATE) o = Illegal();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kMemoryReport, {N(reportType), start, end}), model_);
}

long FiscalService::PrintXReport() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kXReport), model_);
}

long FiscalService::PrintZReport() {
  Outcome o = Ready();
  if (o) o = model_.MonitorOnly();
  if (o) o = FiscalWorkAllowed();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kZReport), model_);
}

long FiscalService::BeginNonFiscal() {
  fiscal::Operation op = Op(cmd::kNonFiscal);
  op.flag = 1;
  return Perform(op);
}

long FiscalService::PrintNormal(long station, const std::string& data) {
  // The stations' numbers are the printer's: journal, receipt, or both.
  fiscal::Operation op = Op(cmd::kPrintLine);
  op.flag = station;
  op.lines = fiscal::SplitLines(data);
  return Perform(op);
}

long FiscalService::EndNonFiscal() {
  return Perform(Op(cmd::kNonFiscal));
}

long FiscalService::BeginTraining() {
  fiscal::Operation op = Op(cmd::kTraining);
  op.flag = 1;
  return Perform(op);
}

long FiscalService::EndTraining() {
  return Perform(Op(cmd::kTraining));
}

Outcome FiscalService::FiscalWorkAllowed() const {
  if (model_.Training() || !Locked()) return Ok();  // training never reaches the memory
  return Extended((flags_ & cmd::kFlagMemoryFault) ? OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED
                                                   : OPOS_EFPTR_MEMORY_FULL);
}

long FiscalService::Unsupported() {
  Outcome o = Ready();
  return Done(o ? Illegal() : o);
}

// --- Data requests ----------------------------------------------------------

long FiscalService::GetData(long item, long* optArgs, BSTR* data) {
  Outcome o = Ready();
  if (o && (item < cmd::kDataCurrentTotal || item > cmd::kDataFirmware)) o = Illegal();
  ecrcmd::Answer answer;
  if (o) o = Query(cmd::Build(cmd::kGetData, {N(item)}), &answer);
  if (!o) return Done(o);
  std::string value = answer.fields[0];
  int64_t cents = 0;
  const bool isAmount = item == cmd::kDataCurrentTotal || item == cmd::kDataDailyTotal ||
                        item == cmd::kDataRefunds || item == cmd::kDataNotPaid ||
                        item == cmd::kDataVoids || item == cmd::kDataGrandTotal;
  if (isAmount && cmd::ParseNumber(value, &cents)) value = fiscal::FormatMoney(cents);
  (void)optArgs;
  SetOut(data, Wide(value));
  return Done(o);
}

long FiscalService::GetDate(BSTR* date) {
  Outcome o = Ready();
  ecrcmd::Answer answer;
  if (o) o = Query(std::string(1, cmd::kGetDate), &answer);
  if (o) SetOut(date, Wide(answer.fields[0]));
  return Done(o);
}

long FiscalService::GetTotalizer(long vatId, long optArgs, BSTR* data) {
  Outcome o = Ready();
  if (o && (vatId < 0 || vatId > cmd::kVatRates)) o = Extended(OPOS_EFPTR_BAD_VAT);
  ecrcmd::Answer answer;
  if (o) o = Query(cmd::Build(cmd::kGetTotalizer, {N(vatId), N(optArgs)}), &answer);
  int64_t cents = 0;
  if (o && !cmd::ParseNumber(answer.fields[0], &cents)) o = Outcome{OPOS_E_FAILURE, 0};
  if (o) SetOut(data, Wide(fiscal::FormatMoney(cents)));
  return Done(o);
}

long FiscalService::GetVatEntry(long vatId, long, long* vatRate) {
  Outcome o = Ready();
  if (o && (vatId < 1 || vatId > cmd::kVatRates)) o = Extended(OPOS_EFPTR_BAD_VAT);
  ecrcmd::Answer answer;
  if (o) o = Query(cmd::Build(cmd::kGetVatRate, {N(vatId)}), &answer);
  int64_t rate = 0;
  if (o && !cmd::ParseNumber(answer.fields[0], &rate)) o = Outcome{OPOS_E_FAILURE, 0};
  if (o && vatRate) *vatRate = static_cast<long>(rate);
  return Done(o);
}

}  // namespace kso
