#include "virtual_printer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace ecrsim {
namespace {

using namespace ecrcmd;
using Fields = std::vector<std::string>;

constexpr const char kFirmware[] = "KR-VFP 1.0";
constexpr const char kPrinterId[] = "KR99000001";
constexpr int kMaxQuantity = 999999999;  // thousandths

std::string Money(int64_t cents) {
  char b[32];
  int64_t a = cents < 0 ? -cents : cents;
  std::snprintf(b, sizeof b, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(a / 100),
                static_cast<long long>(a % 100));
  return b;
}

std::string Quantity(int64_t thousandths) {
  char b[32];
  std::snprintf(b, sizeof b, "%lld.%03lld", static_cast<long long>(thousandths / 1000),
                static_cast<long long>(thousandths % 1000));
  std::string s = b;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string Rate(int hundredths) {
  char b[16];
  std::snprintf(b, sizeof b, "%d.%02d%%", hundredths / 100, hundredths % 100);
  return b;
}

char VatLetter(int vat) {
  return static_cast<char>('A' + vat - 1);
}

// Rounds a * b / d to the nearest integer (halves away from zero).
int64_t MulDiv(int64_t a, int64_t b, int64_t d) {
  int64_t p = a * b;
  return (p >= 0 ? p + d / 2 : p - d / 2) / d;
}

bool Number(const Fields& f, size_t i, int64_t* v) {
  return i < f.size() && ParseNumber(f[i], v);
}

// An optional numeric field: absent or empty gives fallback.
bool NumberOr(const Fields& f, size_t i, int64_t fallback, int64_t* v) {
  if (i >= f.size() || f[i].empty()) {
    *v = fallback;
    return true;
  }
  return ParseNumber(f[i], v);
}

std::string Text(const Fields& f, size_t i) {
  return i < f.size() ? f[i] : std::string();
}

// ddmmyyyyhhmm, the form the command set carries dates in.
std::string ClockText(std::time_t t) {
  char s[16];
  std::tm tm = *std::localtime(&t);
  std::strftime(s, sizeof s, "%d%m%Y%H%M", &tm);
  return s;
}

bool ContainsNoCase(const std::string& text, const char* word) {
  std::string up = text;
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return up.find(word) != std::string::npos;
}

// Description check shared by every line that carries one: 0 or an error.
uint8_t CheckDescription(const std::string& d) {
  if (d.size() > static_cast<size_t>(kDescriptionLength)) return kErrBadDescription;
  if (ContainsNoCase(d, kReservedWord)) return kErrWordNotAllowed;
  return 0;
}

// ddmmyyyy or ddmmyyyyhhmm into a local time; false when not a date. A
// date without a time means its first minute, or with endOfDay its last.
bool ParseDate(const std::string& s, std::time_t* out, bool endOfDay = false) {
  if (s.size() != 8 && s.size() != 12) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  auto n = [&s](size_t at, size_t len) { return std::stoi(s.substr(at, len)); };
  std::tm tm{};
  tm.tm_mday = n(0, 2);
  tm.tm_mon = n(2, 2) - 1;
  tm.tm_year = n(4, 4) - 1900;
  const bool hasTime = s.size() == 12;
  tm.tm_hour = hasTime ? n(8, 2) : (endOfDay ? 23 : 0);
  tm.tm_min = hasTime ? n(10, 2) : (endOfDay ? 59 : 0);
  tm.tm_sec = !hasTime && endOfDay ? 59 : 0;
  tm.tm_isdst = -1;
  if (tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_year < 70 ||
      tm.tm_year > 1100 || tm.tm_hour > 23 || tm.tm_min > 59) {
    return false;
  }
  const int day = tm.tm_mday, month = tm.tm_mon;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != day || tm.tm_mon != month) return false;
  *out = t;
  return true;
}

// An adjustment's value: amount types as given, percent types of base.
int64_t AdjustmentValue(int64_t type, int64_t amount, int64_t base) {
  return type == kPercentDiscount || type == kPercentSurcharge ? MulDiv(base, amount, 10000)
                                                               : amount;
}

bool IsDiscount(int64_t type) {
  return type == kAmountDiscount || type == kPercentDiscount;
}

bool IsPercent(int64_t type) {
  return type == kPercentDiscount || type == kPercentSurcharge;
}

std::string AdjustmentLabel(int64_t type, int64_t amount, const std::string& desc) {
  if (!desc.empty()) return desc;
  std::string label = IsDiscount(type) ? "DISCOUNT" : "SURCHARGE";
  if (IsPercent(type)) label += " " + Rate(static_cast<int>(amount));
  return label;
}

}  // namespace

int64_t VirtualPrinter::Totals::Net(int vat) const {
  return items[vat] + surcharges[vat] - discounts[vat] - itemVoids[vat] - refunds[vat];
}

int64_t VirtualPrinter::Totals::Net() const {
  int64_t sum = 0;
  for (int v = 0; v < kVatRates; ++v) sum += Net(v);
  return sum;
}

VirtualPrinter::VirtualPrinter(const std::string& journalPath) {
  if (!journalPath.empty()) journal_.open(journalPath, std::ios::app | std::ios::binary);
  header_[0] = {"KERUNEL DEMO STORE", true};
  header_[1] = {"1 Market Street, Sampletown", false};
  header_[2] = {"VAT No. 01234567890", false};
  trailer_[0] = {"Thank you and goodbye", false};
}

// Every command passes here: its number decides whether it runs at all.
std::string VirtualPrinter::Execute(const std::string& message) {
  std::lock_guard<std::mutex> lock(mu_);
  int64_t number = 0;
  const std::string command = Unnumbered(message, &number);
  if (number == 0) return Perform(command);
  const char code = command[0];
  if (!IsQuery(code)) {
    if (number == lastNumber_) return lastAnswer_;  // done already: the same answer again
    if (number < lastNumber_) {
      return TagAnswer(std::string{kErrorCode, static_cast<char>(kErrStaleNumber)}, code, number);
    }
  }
  const std::string answer = TagAnswer(Perform(command), code, number);
  if (!IsQuery(code) && answer[0] != kErrorCode) {
    lastNumber_ = number;
    lastAnswer_ = answer;
  }
  return answer;
}

std::string VirtualPrinter::Perform(const std::string& command) {
  auto errorAnswer = [](uint8_t e) { return std::string{kErrorCode, static_cast<char>(e)}; };
  if (command.empty()) return errorAnswer(kErrSyntax);
  if (busy_ > 0) {
    --busy_;
    return errorAnswer(kErrBusy);
  }
  const char code = command[0];
  static const std::string kSilent = "Qcguwsdhtvikz";  // commands that print nothing
  if (kSilent.find(code) == std::string::npos) {
    if (coverOpen_) return errorAnswer(kErrCoverOpen);
    if (paperOut_) return errorAnswer(kErrReceiptEmpty);
    if (journalEmpty_) return errorAnswer(kErrJournalEmpty);
  }
  Fields fields = Split(command.substr(1));
  for (const std::string& field : fields) {
    if (!IsFieldText(field)) return errorAnswer(kErrSyntax);
  }
  uint8_t error = 0;
  std::string rest = Run(code, fields, &error);
  if (error) return errorAnswer(error);
  std::string answer(1, code);
  answer += std::to_string(Flags());
  answer += rest;
  return answer.size() <= kMaxMessage ? answer : errorAnswer(kErrSyntax);
}

// Dispatches one command; returns "|field|field..." (possibly empty).
std::string VirtualPrinter::Run(char code, const Fields& f, uint8_t* error) {
  Fields out;
  auto needIdle = [this, error] {
    if (doc_ != kDocIdle) *error = kErrWrongState;
    return doc_ == kDocIdle;
  };
  switch (code) {
    case kOpenReceipt:
      out = OpenReceipt(f, error);
      break;
    case kItem:
      out = Item(f, error);
      break;
    case kItemAdjustment:
      out = ItemAdjustment(f, error);
      break;
    case kVoidItem:
      out = VoidItem(f, error);
      break;
    case kRefund:
      out = Refund(f, error);
      break;
    case kSubtotalAdjustment:
      out = SubtotalAdjustment(f, error);
      break;
    case kMessage:
      if (!InReceipt()) {
        *error = kErrWrongState;
      } else if (Text(f, 0).size() > static_cast<size_t>(kLineWidth)) {
        *error = kErrBadDescription;
      } else {
        Print(Text(f, 0));
      }
      break;
    case kSubtotal:
      if (doc_ != kDocReceipt) {
        *error = kErrWrongState;
      } else {
        PrintAmount("SUBTOTAL", Subtotal());
        out = {std::to_string(Subtotal())};
      }
      break;
    case kNotPaid:
      out = Pay(f, true, error);
      break;
    case kPayment:
      out = Pay(f, false, error);
      break;
    case kVoidReceipt:
      if (doc_ != kDocReceipt && doc_ != kDocReceiptTotal) {
        *error = kErrWrongState;
      } else if (CheckDescription(Text(f, 0))) {
        *error = CheckDescription(Text(f, 0));
      } else {
        if (!Text(f, 0).empty()) Print(Text(f, 0));
        PrintCentered("*** RECEIPT VOIDED ***");
        receipt_.voided = true;
        doc_ = kDocReceiptEnding;
      }
      break;
    case kCloseReceipt:
      out = CloseReceipt(error);
      break;
    case kDuplicate:
      if (!needIdle()) break;
      if (lastReceipt_.empty()) {
        *error = kErrWrongState;
        break;
      }
      PrintCentered("*** DUPLICATE - NOT FISCAL ***");
      for (const std::string& line : std::vector<std::string>(lastReceipt_)) Print(line);
      PrintCentered("*** DUPLICATE - NOT FISCAL ***");
      PrintRule('=');
      break;
    case kNonFiscal: {
      int64_t on = 0;
      if (!Number(f, 0, &on) || (on != 0 && on != 1)) {
        *error = kErrSyntax;
      } else if (on ? doc_ != kDocIdle : doc_ != kDocNonFiscal) {
        *error = kErrWrongState;
      } else if (on) {
        PrintHeader();
        PrintCentered("NON-FISCAL DOCUMENT");
        PrintRule();
        doc_ = kDocNonFiscal;
      } else {
        PrintRule();
        PrintCentered(DateText(Now(), true));
        PrintCentered("NON-FISCAL DOCUMENT");
        PrintRule('=');
        doc_ = kDocIdle;
      }
      break;
    }
    case kPrintLine:
      if (doc_ != kDocNonFiscal) {
        *error = kErrWrongState;
      } else if (Text(f, 0).size() > static_cast<size_t>(kLineWidth)) {
        *error = kErrBadDescription;
      } else {
        Print(Text(f, 0));
      }
      break;
    case kTraining: {
      int64_t on = 0;
      if (!Number(f, 0, &on) || (on != 0 && on != 1)) {
        *error = kErrSyntax;
      } else if (!needIdle()) {
      } else if ((on != 0) == training_) {
        *error = kErrWrongState;
      } else {
        training_ = on != 0;
        PrintCentered(training_ ? "TRAINING MODE ON" : "TRAINING MODE OFF");
        PrintRule('=');
      }
      break;
    }
    case kReset:
      if (doc_ != kDocIdle && !paperOut_ && !coverOpen_) {
        PrintCentered(doc_ == kDocNonFiscal ? "*** DOCUMENT CANCELLED ***"
                                            : "*** RECEIPT CANCELLED ***");
        PrintRule('=');
      }
      doc_ = kDocIdle;
      receipt_ = Receipt{};
      break;
    case kXReport:
    case kPeriodicReport:
    case kMemoryReport:
    case kPowerLossReport:
      if (needIdle()) out = Report(code, f, error);
      break;
    case kZReport:
      if (needIdle()) out = ZReport(error);
      break;
    case kSetDate:
    case kHeaderLine:
    case kTrailerLine:
    case kVatTable:
    case kPosId:
    case kStoreId:
      if (needIdle()) out = Preset(code, f, error);
      break;
    case kStatus:
    case kGetDate:
    case kGetData:
    case kGetTotalizer:
    case kGetVatRate:
    case kSync:
      out = Query(code, f, error);
      break;
    default:
      *error = kErrUnknownCommand;
      break;
  }
  std::string rest;
  for (const std::string& field : out) rest += kSeparator + field;
  return rest;
}

VirtualPrinter::Fields VirtualPrinter::OpenReceipt(const Fields&, uint8_t* error) {
  if (doc_ != kDocIdle) {
    *error = kErrWrongState;
    return {};
  }
  receipt_ = Receipt{};
  doc_ = kDocReceipt;
  if (!training_) dayOpen_ = true;
  PrintHeader();
  if (training_) PrintCentered("TRAINING - NOT A FISCAL RECEIPT");
  PrintRule();
  return {std::to_string(receiptNumber_ + 1)};
}

VirtualPrinter::Fields VirtualPrinter::Item(const Fields& f, uint8_t* error) {
  int64_t amount = 0, qty = 0, vat = 0, unitPrice = 0;
  const std::string desc = Text(f, 0), unit = Text(f, 5);
  if (doc_ != kDocReceipt) {
    *error = kErrWrongState;
  } else if (!Number(f, 1, &amount) || !NumberOr(f, 2, 0, &qty) || !Number(f, 3, &vat) ||
             !NumberOr(f, 4, 0, &unitPrice)) {
    *error = kErrSyntax;
  } else if (CheckDescription(desc)) {
    *error = CheckDescription(desc);
  } else if (qty < 0 || qty > kMaxQuantity) {
    *error = kErrBadQuantity;
  } else if (unitPrice < 0 || unitPrice > kMaxAmount) {
    *error = kErrBadPrice;
  } else if (amount < 0 || amount > kMaxAmount) {
    *error = kErrBadAmount;
  } else if (vat < 1 || vat > kVatRates) {
    *error = kErrBadVat;
  } else if (unit.size() > static_cast<size_t>(kUnitNameLength)) {
    *error = kErrBadDescription;
  }
  if (*error) return {};
  // Without a price the line is worth its quantity times the unit price.
  if (amount == 0 && unitPrice != 0) amount = MulDiv(unitPrice, qty == 0 ? 1000 : qty, 1000);
  if (amount > kMaxAmount || Subtotal() + amount > kMaxAmount) {
    *error = kErrTotalOverflow;
    return {};
  }
  const int v = static_cast<int>(vat) - 1;
  receipt_.totals.items[v] += amount;
  receipt_.lastItem = amount;
  receipt_.lastVat = v + 1;
  PrintAmount(desc, amount, v + 1);
  if ((qty != 0 && qty != 1000) || unitPrice != 0) {
    std::string detail = "  " + Quantity(qty == 0 ? 1000 : qty);
    if (unitPrice != 0) detail += " x " + Money(unitPrice);
    if (!unit.empty()) detail += " " + unit;
    Print(detail);
  }
  return {std::to_string(Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::ItemAdjustment(const Fields& f, uint8_t* error) {
  int64_t type = 0, amount = 0, vat = 0;
  const std::string desc = Text(f, 1);
  if (doc_ != kDocReceipt || receipt_.lastVat == 0) {
    *error = kErrWrongState;
  } else if (!Number(f, 0, &type) || !Number(f, 2, &amount) || !NumberOr(f, 3, 0, &vat) ||
             type < kAmountDiscount || type > kPercentSurcharge) {
    *error = kErrSyntax;
  } else if (CheckDescription(desc)) {
    *error = CheckDescription(desc);
  } else if (amount < 0 || amount > kMaxAmount || (IsPercent(type) && amount > 10000)) {
    *error = kErrBadAmount;
  } else if (vat < 0 || vat > kVatRates) {
    *error = kErrBadVat;
  }
  if (*error) return {};
  const int v = static_cast<int>(vat == 0 ? receipt_.lastVat : vat) - 1;
  const int64_t value = AdjustmentValue(type, amount, receipt_.lastItem);
  if (IsDiscount(type)) {
    if (value > receipt_.totals.Net(v)) {
      *error = kErrNegativeTotal;
      return {};
    }
    receipt_.totals.discounts[v] += value;
  } else {
    if (Subtotal() + value > kMaxAmount) {
      *error = kErrTotalOverflow;
      return {};
    }
    receipt_.totals.surcharges[v] += value;
  }
  PrintAmount(AdjustmentLabel(type, amount, desc), IsDiscount(type) ? -value : value, v + 1);
  return {std::to_string(Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::VoidItem(const Fields& f, uint8_t* error) {
  int64_t amount = 0, qty = 0, adjType = 0, adjustment = 0, vat = 0;
  const std::string desc = Text(f, 0);
  if (doc_ != kDocReceipt) {
    *error = kErrWrongState;
  } else if (!Number(f, 1, &amount) || !NumberOr(f, 2, 0, &qty) || !NumberOr(f, 3, 0, &adjType) ||
             !NumberOr(f, 4, 0, &adjustment) || !Number(f, 5, &vat) || adjType < 0 ||
             adjType > kPercentSurcharge) {
    *error = kErrSyntax;
  } else if (CheckDescription(desc)) {
    *error = CheckDescription(desc);
  } else if (qty < 0 || qty > kMaxQuantity) {
    *error = kErrBadQuantity;
  } else if (amount < 0 || amount > kMaxAmount || adjustment < 0 || adjustment > kMaxAmount) {
    *error = kErrBadAmount;
  } else if (vat < 1 || vat > kVatRates) {
    *error = kErrBadVat;
  }
  if (*error) return {};
  const int v = static_cast<int>(vat) - 1;
  // The voided line's value: its amount with its adjustment taken back.
  int64_t value = amount;
  if (adjType != 0) {
    const int64_t adj = AdjustmentValue(adjType, adjustment, amount);
    value += IsDiscount(adjType) ? -adj : adj;
  }
  if (value < 0 || value > receipt_.totals.Net(v)) {
    *error = kErrNegativeTotal;
    return {};
  }
  receipt_.totals.itemVoids[v] += value;
  PrintAmount("VOID " + desc, -value, v + 1);
  return {std::to_string(Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::Refund(const Fields& f, uint8_t* error) {
  int64_t amount = 0, vat = 0;
  const std::string desc = Text(f, 0);
  if (doc_ != kDocReceipt) {
    *error = kErrWrongState;
  } else if (!Number(f, 1, &amount) || !Number(f, 2, &vat)) {
    *error = kErrSyntax;
  } else if (CheckDescription(desc)) {
    *error = CheckDescription(desc);
  } else if (amount < 0 || amount > kMaxAmount) {
    *error = kErrBadAmount;
  } else if (vat < 1 || vat > kVatRates) {
    *error = kErrBadVat;
  } else if (amount > receipt_.totals.Net(static_cast<int>(vat) - 1)) {
    *error = kErrNegativeTotal;
  }
  if (*error) return {};
  const int v = static_cast<int>(vat) - 1;
  receipt_.totals.refunds[v] += amount;
  PrintAmount("REFUND " + desc, -amount, v + 1);
  return {std::to_string(Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::SubtotalAdjustment(const Fields& f, uint8_t* error) {
  int64_t type = 0, amount = 0;
  const std::string desc = Text(f, 1);
  if (doc_ != kDocReceipt) {
    *error = kErrWrongState;
  } else if (!Number(f, 0, &type) || !Number(f, 2, &amount) || type < kAmountDiscount ||
             type > kPercentSurcharge) {
    *error = kErrSyntax;
  } else if (CheckDescription(desc)) {
    *error = CheckDescription(desc);
  } else if (amount < 0 || amount > kMaxAmount || (IsPercent(type) && amount > 10000)) {
    *error = kErrBadAmount;
  } else if (Subtotal() <= 0) {
    *error = kErrWrongState;  // nothing to share it over
  }
  if (*error) return {};
  const int64_t subtotal = Subtotal();
  const int64_t value = AdjustmentValue(type, amount, subtotal);
  if (IsDiscount(type) ? value > subtotal : subtotal + value > kMaxAmount) {
    *error = IsDiscount(type) ? kErrNegativeTotal : kErrTotalOverflow;
    return {};
  }
  // Shared over the rates in proportion to their net; the rounding rest
  // goes to the last rate that has any.
  Amounts& target = IsDiscount(type) ? receipt_.totals.discounts : receipt_.totals.surcharges;
  Amounts net{};
  int last = 0;
  for (int v = 0; v < kVatRates; ++v) {
    net[v] = receipt_.totals.Net(v);
    if (net[v] > 0) last = v;
  }
  int64_t left = value;
  for (int v = 0; v < kVatRates; ++v) {
    if (net[v] <= 0) continue;
    const int64_t share = v == last ? left : value * net[v] / subtotal;
    target[v] += share;
    left -= share;
  }
  PrintAmount("SUBTOTAL " + AdjustmentLabel(type, amount, desc), IsDiscount(type) ? -value : value);
  return {std::to_string(Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::Pay(const Fields& f, bool notPaid, uint8_t* error) {
  int64_t amount = 0, total = 0;
  const std::string desc = notPaid ? Text(f, 0) : Text(f, 2);
  if (notPaid ? !Number(f, 1, &amount) : (!NumberOr(f, 0, 0, &total) || !Number(f, 1, &amount))) {
    *error = kErrSyntax;
  } else if (doc_ != kDocReceipt && doc_ != kDocReceiptTotal) {
    *error = kErrWrongState;
  } else if (CheckDescription(desc)) {
    *error = CheckDescription(desc);
  } else if (amount < 0 || amount > kMaxAmount) {
    *error = kErrBadAmount;
  } else if (notPaid && amount > Subtotal() - receipt_.paid) {
    *error = kErrBadAmount;  // more than is due
  }
  if (*error) return {};
  if (!receipt_.totalPrinted) {
    PrintRule();
    PrintAmount("TOTAL EUR", Subtotal());
    receipt_.totalPrinted = true;
  }
  PrintAmount(desc.empty() ? (notPaid ? "NOT PAID" : "CASH") : desc, amount);
  receipt_.paid += amount;
  if (notPaid) receipt_.totals.notPaid += amount;
  const int64_t due = Subtotal() - receipt_.paid;
  if (due > 0) {
    doc_ = kDocReceiptTotal;
  } else {
    if (due < 0) PrintAmount("CHANGE", -due);
    doc_ = kDocReceiptEnding;
  }
  return {std::to_string(due)};
}

VirtualPrinter::Fields VirtualPrinter::CloseReceipt(uint8_t* error) {
  if (doc_ != kDocReceiptEnding) {
    *error = kErrWrongState;
    return {};
  }
  const Totals& t = receipt_.totals;
  if (!receipt_.voided) {
    PrintRule();
    for (int v = 0; v < kVatRates; ++v) {
      const int64_t net = t.Net(v);
      if (net == 0) continue;
      const int64_t tax = MulDiv(net, rates_[v], 10000 + rates_[v]);
      char line[64];
      std::snprintf(line, sizeof line, "VAT %c %7s %11s %11s", VatLetter(v + 1),
                    Rate(rates_[v]).c_str(), Money(net - tax).c_str(), Money(tax).c_str());
      Print(line);
    }
  }
  PrintRule();
  const int number = training_ ? receiptNumber_ + 1 : ++receiptNumber_;
  char line[64];
  std::snprintf(line, sizeof line, "%-24s%16s", DateText(Now(), true).c_str(),
                ("RECEIPT " + std::to_string(number)).c_str());
  Print(line);
  std::snprintf(line, sizeof line, "POS %-4s CASHIER %-8s%15s", posId_.c_str(), cashier_.c_str(),
                ("Z " + std::to_string(zNumber_ + 1)).c_str());
  Print(line);
  if (!storeId_.empty()) Print("STORE " + storeId_);
  for (const auto& l : trailer_) {
    if (!l.first.empty()) PrintCentered(l.first, l.second);
  }
  PrintCentered(training_ ? "TRAINING - NOT A FISCAL RECEIPT" : "FISCAL RECEIPT");
  PrintRule('=');
  if (!training_) {
    if (receipt_.voided) {
      day_.voidedReceipts += t.Net();
    } else {
      for (int v = 0; v < kVatRates; ++v) {
        day_.items[v] += t.items[v];
        day_.surcharges[v] += t.surcharges[v];
        day_.discounts[v] += t.discounts[v];
        day_.itemVoids[v] += t.itemVoids[v];
        day_.refunds[v] += t.refunds[v];
      }
      day_.notPaid += t.notPaid;
      grandTotal_ += t.Net();
    }
    day_.receipts += 1;
  }
  lastReceipt_ = receipt_.lines;
  receipt_ = Receipt{};
  doc_ = kDocIdle;
  return {std::to_string(number)};
}

void VirtualPrinter::PrintTotalsReport(const Totals& t) {
  for (int v = 0; v < kVatRates; ++v) {
    if (t.items[v] == 0 && t.Net(v) == 0) continue;
    Print(std::string("VAT ") + VatLetter(v + 1) + " " + Rate(rates_[v]));
    PrintAmount("  ITEMS", t.items[v]);
    if (t.surcharges[v]) PrintAmount("  SURCHARGES", t.surcharges[v]);
    if (t.discounts[v]) PrintAmount("  DISCOUNTS", -t.discounts[v]);
    if (t.itemVoids[v]) PrintAmount("  VOIDS", -t.itemVoids[v]);
    if (t.refunds[v]) PrintAmount("  REFUNDS", -t.refunds[v]);
    PrintAmount("  TOTAL", t.Net(v));  // VAT included, after adjustments
    PrintAmount("  VAT", MulDiv(t.Net(v), rates_[v], 10000 + rates_[v]));
  }
  PrintRule();
  Print("RECEIPTS " + std::to_string(t.receipts));
  if (t.voidedReceipts) PrintAmount("VOIDED RECEIPTS", t.voidedReceipts);
  if (t.notPaid) PrintAmount("NOT PAID", t.notPaid);
  PrintAmount("DAILY TOTAL", t.Net());
}

VirtualPrinter::Fields VirtualPrinter::ZReport(uint8_t* error) {
  if (fiscalMemory_.size() >= kFiscalMemoryRecords) {
    *error = kErrMemoryFull;
    return {};
  }
  const std::time_t now = Now();
  ++zNumber_;
  PrintHeader();
  PrintCentered("Z REPORT " + std::to_string(zNumber_), true);
  PrintCentered(DateText(now, true));
  PrintRule();
  PrintTotalsReport(day_);
  PrintAmount("GRAND TOTAL", grandTotal_);
  PrintCentered("FISCAL MEMORY UPDATED");
  PrintRule('=');
  ZRecord r{zNumber_, now, day_.receipts, {}, day_.Net()};
  for (int v = 0; v < kVatRates; ++v) r.net[v] = day_.Net(v);
  fiscalMemory_.push_back(r);
  day_ = Totals{};
  receiptNumber_ = 0;
  dayOpen_ = false;
  return {std::to_string(zNumber_)};
}

VirtualPrinter::Fields VirtualPrinter::Report(char code, const Fields& f, uint8_t* error) {
  if (code == kXReport) {
    PrintHeader();
    PrintCentered("X REPORT", true);
    PrintCentered(DateText(Now(), true));
    PrintRule();
    PrintTotalsReport(day_);
    PrintRule('=');
    return {};
  }
  if (code == kPowerLossReport) {
    PrintCentered("POWER LOSS REPORT", true);
    PrintCentered(DateText(Now(), true));
    Print("No power failure since the last Z report");
    PrintRule('=');
    return {};
  }
  // By Z number (memory report type 1) or by date (type 2, and the
  // periodic totals report).
  int64_t type = 2;
  size_t at = 0;
  if (code == kMemoryReport) {
    if (!Number(f, 0, &type) || (type != 1 && type != 2)) {
      *error = kErrSyntax;
      return {};
    }
    at = 1;
  }
  int64_t firstZ = 0, lastZ = 0;
  std::time_t from = 0, to = 0;
  if (type == 1) {
    if (!Number(f, at, &firstZ) || !Number(f, at + 1, &lastZ) || firstZ < 1 || lastZ < firstZ) {
      *error = kErrSyntax;
      return {};
    }
  } else if (!ParseDate(Text(f, at), &from) || !ParseDate(Text(f, at + 1), &to, true) ||
             to < from) {
    *error = kErrBadDate;
    return {};
  }
  auto inRange = [&](const ZRecord& r) {
    return type == 1 ? r.number >= firstZ && r.number <= lastZ : r.when >= from && r.when <= to;
  };
  PrintCentered(code == kPeriodicReport ? "PERIODIC TOTALS" : "FISCAL MEMORY", true);
  PrintCentered(type == 1 ? "Z " + std::to_string(firstZ) + " - " + std::to_string(lastZ)
                          : DateText(from, false) + " - " + DateText(to, false));
  PrintRule();
  int64_t sum = 0;
  int count = 0;
  for (const ZRecord& r : fiscalMemory_) {
    if (!inRange(r)) continue;
    sum += r.total;
    ++count;
    if (code == kMemoryReport) {
      PrintAmount("Z " + std::to_string(r.number) + "  " + DateText(r.when, false), r.total);
    }
  }
  Print("Z REPORTS " + std::to_string(count));
  PrintAmount("TOTAL", sum);
  PrintRule('=');
  return {};
}

VirtualPrinter::Fields VirtualPrinter::Preset(char code, const Fields& f, uint8_t* error) {
  switch (code) {
    case kSetDate: {
      std::time_t t = 0;
      if (dayOpen_) {
        *error = kErrWrongState;
      } else if (Text(f, 0).size() != 12 || !ParseDate(Text(f, 0), &t)) {
        *error = kErrBadDate;
      } else {
        clockOffset_ = static_cast<long long>(t) - static_cast<long long>(std::time(nullptr));
      }
      return {};
    }
    case kHeaderLine:
    case kTrailerLine: {
      int64_t line = 0, wide = 0;
      const int count = code == kHeaderLine ? kHeaderLines : kTrailerLines;
      const std::string text = Text(f, 2);
      if (!Number(f, 0, &line) || !NumberOr(f, 1, 0, &wide) || line < 1 || line > count) {
        *error = kErrSyntax;
      } else if (text.size() > static_cast<size_t>(wide ? kLineWidth / 2 : kLineWidth)) {
        *error = kErrBadDescription;
      } else {
        auto& slot = code == kHeaderLine ? header_[line - 1] : trailer_[line - 1];
        slot = {text, wide != 0};
      }
      return {};
    }
    case kVatTable: {
      if (dayOpen_) {
        *error = kErrWrongState;
        return {};
      }
      if (f.size() > static_cast<size_t>(kVatRates)) {
        *error = kErrBadVat;
        return {};
      }
      std::array<int, kVatRates> rates = rates_;
      for (size_t i = 0; i < f.size(); ++i) {
        int64_t r = 0;
        if (f[i].empty()) continue;  // unchanged
        if (!ParseNumber(f[i], &r) || r < 0 || r > kMaxRate) {
          *error = kErrBadVat;
          return {};
        }
        rates[i] = static_cast<int>(r);
      }
      rates_ = rates;
      return {};
    }
    case kPosId:
      if (Text(f, 0).size() > 4 || Text(f, 1).size() > 8) {
        *error = kErrBadDescription;
      } else {
        posId_ = Text(f, 0);
        cashier_ = Text(f, 1);
      }
      return {};
    default:  // kStoreId
      if (Text(f, 0).size() > 16) {
        *error = kErrBadDescription;
      } else {
        storeId_ = Text(f, 0);
      }
      return {};
  }
}

VirtualPrinter::Fields VirtualPrinter::Query(char code, const Fields& f, uint8_t* error) {
  int64_t a = 0, b = 0;
  switch (code) {
    case kStatus:
      return {std::to_string(doc_), std::to_string(receiptNumber_), std::to_string(zNumber_),
              ClockText(Now()), std::to_string(kFiscalMemoryRecords - fiscalMemory_.size())};
    case kGetDate:
      return {ClockText(Now())};
    case kSync: {
      const bool open = InReceipt();
      return {std::to_string(kCommandSetVersion),
              std::to_string(lastNumber_),
              std::to_string(doc_),
              std::to_string(open ? Subtotal() : 0),
              std::to_string(open ? Subtotal() - receipt_.paid : 0),
              std::to_string(open && receipt_.lastVat != 0 ? receipt_.lastItem : -1),
              std::to_string(receiptNumber_),
              std::to_string(zNumber_),
              std::to_string(kFiscalMemoryRecords - fiscalMemory_.size())};
    }
    case kGetData: {
      if (!Number(f, 0, &a)) break;
      int64_t sum = 0;
      switch (a) {
        case kDataCurrentTotal:
          return {std::to_string(InReceipt() ? Subtotal() : 0)};
        case kDataDailyTotal:
          return {std::to_string(day_.Net())};
        case kDataReceiptNumber:
          return {std::to_string(receiptNumber_)};
        case kDataRefunds:
          for (int64_t r : day_.refunds) sum += r;
          return {std::to_string(sum)};
        case kDataNotPaid:
          return {std::to_string(day_.notPaid)};
        case kDataVoids:
          sum = day_.voidedReceipts;
          for (int64_t r : day_.itemVoids) sum += r;
          return {std::to_string(sum)};
        case kDataZNumber:
          return {std::to_string(zNumber_)};
        case kDataGrandTotal:
          return {std::to_string(grandTotal_)};
        case kDataPrinterId:
          return {kPrinterId};
        case kDataFirmware:
          return {kFirmware};
        default:
          break;
      }
      break;
    }
    case kGetTotalizer: {
      if (!Number(f, 0, &a) || !Number(f, 1, &b) || a < 0 || a > kVatRates) break;
      int64_t sum = 0;
      for (int v = 0; v < kVatRates; ++v) {
        if (a != 0 && v != a - 1) continue;
        switch (b) {
          case kTotalGross:
            sum += day_.items[v] + day_.surcharges[v];
            break;
          case kTotalNet:
            sum += day_.Net(v);
            break;
          case kTotalDiscount:
            sum += day_.discounts[v];
            break;
          case kTotalItems:
            sum += day_.items[v];
            break;
          case kTotalItemVoids:
            sum += day_.itemVoids[v];
            break;
          case kTotalRefunds:
            sum += day_.refunds[v];
            break;
          case kTotalSurcharge:
            sum += day_.surcharges[v];
            break;
          case kTotalVat:
            sum += MulDiv(day_.Net(v), rates_[v], 10000 + rates_[v]);
            break;
          case kTotalNotPaid:
            if (v == 0) sum += day_.notPaid;  // not kept per rate
            break;
          default:
            *error = kErrSyntax;
            return {};
        }
      }
      return {std::to_string(sum)};
    }
    case kGetVatRate:
      if (!Number(f, 0, &a) || a < 1 || a > kVatRates) {
        *error = kErrBadVat;
        return {};
      }
      return {std::to_string(rates_[a - 1])};
    default:
      break;
  }
  *error = kErrSyntax;
  return {};
}

int VirtualPrinter::Flags() const {
  int flags = 0;
  if (coverOpen_) flags |= kFlagCoverOpen;
  if (paperOut_) flags |= kFlagReceiptEmpty;
  if (nearEnd_) flags |= kFlagReceiptNearEnd;
  if (journalEmpty_) flags |= kFlagJournalEmpty;
  if (dayOpen_) flags |= kFlagDayOpen;
  if (training_) flags |= kFlagTraining;
  return flags;
}

bool VirtualPrinter::InReceipt() const {
  return doc_ == kDocReceipt || doc_ == kDocReceiptTotal || doc_ == kDocReceiptEnding;
}

std::time_t VirtualPrinter::Now() const {
  return static_cast<std::time_t>(static_cast<long long>(std::time(nullptr)) + clockOffset_);
}

std::string VirtualPrinter::DateText(std::time_t t, bool withTime) const {
  char s[32];
  std::tm tm = *std::localtime(&t);
  std::strftime(s, sizeof s, withTime ? "%d-%m-%Y %H:%M" : "%d-%m-%Y", &tm);
  return s;
}

void VirtualPrinter::Print(const std::string& line) {
  std::string text = line.substr(0, kLineWidth);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  paper_ += text;
  paper_ += '\n';
  if (InReceipt()) receipt_.lines.push_back(text);
  if (journal_.is_open()) {
    journal_ << text << '\n';
    journal_.flush();
  }
}

void VirtualPrinter::PrintAmount(const std::string& label, int64_t cents, int vat) {
  const std::string amount = Money(cents);
  const std::string tail = vat > 0 ? std::string(" ") + VatLetter(vat) : "  ";
  const size_t room = kLineWidth - amount.size() - tail.size() - 1;
  const std::string left = label.substr(0, room);
  Print(left + std::string(kLineWidth - left.size() - amount.size() - tail.size(), ' ') + amount +
        tail);
}

void VirtualPrinter::PrintCentered(const std::string& text, bool doubleWidth) {
  std::string t = text;
  if (doubleWidth) {
    t.clear();
    for (size_t i = 0; i < text.size() && i < static_cast<size_t>(kLineWidth / 2); ++i) {
      if (i > 0) t += ' ';
      t += text[i];
    }
  }
  t = t.substr(0, kLineWidth);
  Print(std::string((kLineWidth - t.size()) / 2, ' ') + t);
}

void VirtualPrinter::PrintRule(char c) {
  Print(std::string(kLineWidth, c));
}

void VirtualPrinter::PrintHeader() {
  for (const auto& l : header_) {
    if (!l.first.empty()) PrintCentered(l.first, l.second);
  }
}

void VirtualPrinter::SetReceiptPaperOut(bool out) {
  std::lock_guard<std::mutex> lock(mu_);
  paperOut_ = out;
}

void VirtualPrinter::SetReceiptNearEnd(bool nearEnd) {
  std::lock_guard<std::mutex> lock(mu_);
  nearEnd_ = nearEnd;
}

void VirtualPrinter::SetJournalEmpty(bool empty) {
  std::lock_guard<std::mutex> lock(mu_);
  journalEmpty_ = empty;
}

void VirtualPrinter::SetCoverOpen(bool open) {
  std::lock_guard<std::mutex> lock(mu_);
  coverOpen_ = open;
}

void VirtualPrinter::SetBusy(int commands) {
  std::lock_guard<std::mutex> lock(mu_);
  busy_ = std::max(0, commands);
}

std::string VirtualPrinter::Paper() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paper_;
}

size_t VirtualPrinter::PaperSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paper_.size();
}

std::string VirtualPrinter::PaperSince(size_t offset) const {
  std::lock_guard<std::mutex> lock(mu_);
  return offset < paper_.size() ? paper_.substr(offset) : std::string();
}

int VirtualPrinter::ReceiptNumber() const {
  std::lock_guard<std::mutex> lock(mu_);
  return receiptNumber_;
}

int VirtualPrinter::ZNumber() const {
  std::lock_guard<std::mutex> lock(mu_);
  return zNumber_;
}

int64_t VirtualPrinter::DailyNet() const {
  std::lock_guard<std::mutex> lock(mu_);
  return day_.Net();
}

int64_t VirtualPrinter::GrandTotal() const {
  std::lock_guard<std::mutex> lock(mu_);
  return grandTotal_;
}

bool VirtualPrinter::DayOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dayOpen_;
}

ecrcmd::DocumentState VirtualPrinter::Document() const {
  std::lock_guard<std::mutex> lock(mu_);
  return doc_;
}

size_t VirtualPrinter::FiscalRecords() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fiscalMemory_.size();
}

}  // namespace ecrsim
