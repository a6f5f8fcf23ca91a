// FiscalService: the fiscal receipt, reports, non-fiscal printing, training
// and the data requests.
#include <cstdio>

#include "fiscal_service.h"
#include "fiscal_service_internal.h"
#include "opos.h"

namespace kso {

using namespace opos;
namespace cmd = ecrcmd;

namespace {

// Whole cents of an OPOS currency value; false when it has a finer part.
bool ToCents(int64_t currency, int64_t* cents) {
  if (currency % 100 != 0) return false;
  *cents = currency / 100;
  return true;
}

std::string Money(int64_t cents) {
  char b[32];
  const int64_t a = cents < 0 ? -cents : cents;
  std::snprintf(b, sizeof b, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(a / 100),
                static_cast<long long>(a % 100));
  return b;
}

// ddmmyyyy or ddmmyyyyhhmm, the forms a report takes its dates in.
bool IsReportDate(const std::string& s) {
  return IsDigits(s, 8) || IsDigits(s, 12);
}

}  // namespace

// --- Fiscal receipt ---------------------------------------------------------

long FiscalService::BeginFiscalReceipt(bool printHeader) {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.BeginFiscalReceipt();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kOpenReceipt, {printHeader ? "1" : "0"}), next);
}

long FiscalService::EndFiscalReceipt(bool) {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.EndFiscalReceipt();
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kCloseReceipt), next);
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
  Outcome o = Ready();
  int64_t amount = 0, unit = 0;
  if (o && !ToCents(price, &amount)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  if (o && !ToCents(unitPrice, &unit)) o = Extended(OPOS_EFPTR_BAD_PRICE);
  ReceiptModel next = model_;
  if (o) o = next.Item(description, amount, quantity, vatInfo, unit, unitName);
  if (!o) return Done(o);
  return Print(
      cmd::Build(cmd::kItem, {description, N(amount), N(quantity), N(vatInfo), N(unit), unitName}),
      next);
}

long FiscalService::PrintRecItemAdjustment(long type, const std::string& description,
                                           int64_t amount, long vatInfo) {
  Outcome o = Ready();
  int64_t value = 0;  // cents, or hundredths of a percent
  if (o && !ToCents(amount, &value)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.ItemAdjustment(type, description, value, vatInfo);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kItemAdjustment, {N(type), description, N(value), N(vatInfo)}),
               next);
}

long FiscalService::PrintRecMessage(const std::string& message) {
  Outcome o = Ready();
  if (o) o = model_.Message(message);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kMessage, {message}), model_);
}

long FiscalService::PrintRecNotPaid(const std::string& description, int64_t amount) {
  Outcome o = Ready();
  int64_t cents = 0;
  if (o && !ToCents(amount, &cents)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.NotPaid(description, cents);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kNotPaid, {description, N(cents)}), next);
}

long FiscalService::PrintRecRefund(const std::string& description, int64_t amount, long vatInfo) {
  Outcome o = Ready();
  int64_t cents = 0;
  if (o && !ToCents(amount, &cents)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.Refund(description, cents, vatInfo);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kRefund, {description, N(cents), N(vatInfo)}), next);
}

long FiscalService::PrintRecSubtotal(int64_t amount) {
  Outcome o = Ready();
  int64_t cents = 0;
  if (o && !ToCents(amount, &cents)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  if (o) o = model_.Subtotal(cents);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kSubtotal, {N(cents)}), model_);
}

long FiscalService::PrintRecSubtotalAdjustment(long type, const std::string& description,
                                               int64_t amount) {
  Outcome o = Ready();
  int64_t value = 0;
  if (o && !ToCents(amount, &value)) o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  ReceiptModel next = model_;
  if (o) o = next.SubtotalAdjustment(type, description, value);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kSubtotalAdjustment, {N(type), description, N(value)}), next);
}

long FiscalService::PrintRecTotal(int64_t total, int64_t payment, const std::string& description) {
  Outcome o = Ready();
  int64_t totalCents = 0, paymentCents = 0;
  if (o && (!ToCents(total, &totalCents) || !ToCents(payment, &paymentCents))) {
    o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  }
  ReceiptModel next = model_;
  if (o) o = next.Total(totalCents, paymentCents, description, checkTotal_);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kPayment, {N(totalCents), N(paymentCents), description}), next);
}

long FiscalService::PrintRecVoid(const std::string& description) {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.VoidReceipt(description);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kVoidReceipt, {description}), next);
}

long FiscalService::PrintRecVoidItem(const std::string& description, int64_t amount, long quantity,
                                     long adjustmentType, int64_t adjustment, long vatInfo) {
  Outcome o = Ready();
  int64_t cents = 0, adj = 0;
  if (o && (!ToCents(amount, &cents) || !ToCents(adjustment, &adj))) {
    o = Extended(OPOS_EFPTR_BAD_ITEM_AMOUNT);
  }
  ReceiptModel next = model_;
  if (o) o = next.VoidItem(description, cents, quantity, adjustmentType, adj, vatInfo);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kVoidItem, {description, N(cents), N(quantity), N(adjustmentType),
                                           N(adj), N(vatInfo)}),
               next);
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
  if (!o) return Done(o);
  return Print(std::string(1, cmd::kZReport), model_);
}

long FiscalService::BeginNonFiscal() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.BeginNonFiscal();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kNonFiscal, {"1"}), next);
}

long FiscalService::PrintNormal(long station, const std::string& data) {
  Outcome o = Ready();
  if (o && station != FPTR_S_RECEIPT) o = Illegal();  // the receipt is the only station
  if (o) o = model_.PrintNormal(data);
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kPrintLine, {data}), model_);
}

long FiscalService::EndNonFiscal() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.EndNonFiscal();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kNonFiscal, {"0"}), next);
}

long FiscalService::BeginTraining() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.BeginTraining();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kTraining, {"1"}), next);
}

long FiscalService::EndTraining() {
  Outcome o = Ready();
  ReceiptModel next = model_;
  if (o) o = next.EndTraining();
  if (!o) return Done(o);
  return Print(cmd::Build(cmd::kTraining, {"0"}), next);
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
  if (isAmount && cmd::ParseNumber(value, &cents)) value = Money(cents);
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
  if (o) SetOut(data, Wide(Money(cents)));
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
