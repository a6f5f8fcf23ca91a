#include "virtual_printer.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "rules.h"

namespace ecrsim {
namespace {

using namespace ecrcmd;
using fiscal::FormatMoney;
using Fields = std::vector<std::string>;

constexpr const char kFirmware[] = "KR-VFP 1.0";
constexpr const char kPrinterId[] = "KR99000001";

std::string Quantity(int64_t thousandths) {
  char b[32];
  std::snprintf(b, sizeof b, "%lld.%03lld", static_cast<long long>(thousandths / 1000),
                static_cast<long long>(thousandths % 1000));
  std::string s = b;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

std::string Rate(int64_t hundredths) {
  char b[32];
  std::snprintf(b, sizeof b, "%lld.%02lld%%", static_cast<long long>(hundredths / 100),
                static_cast<long long>(hundredths % 100));
  return b;
}

char VatLetter(int vat) {
  return static_cast<char>('A' + vat - 1);
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

std::string AdjustmentLabel(int64_t type, int64_t amount, const std::string& desc) {
  if (!desc.empty()) return desc;
  std::string label = fiscal::IsDiscount(type) ? "DISCOUNT" : "SURCHARGE";
  if (fiscal::IsPercent(type)) label += " " + Rate(amount);
  return label;
}

std::string ErrorAnswer(uint8_t error) {
  return std::string{kErrorCode, static_cast<char>(error)};
}

// The fiscal memory file's first record: what it is, and its format.
constexpr const char kMemoryHeader[] = "KERUNEL FISCAL MEMORY|1";

// Writes the printer's state as the fields of a record, in Persist's order.
class StateWriter {
 public:
  template <typename T>
  void Num(T& v) {
    fields_.push_back(std::to_string(static_cast<long long>(v)));
  }
  void Text(std::string& t) { fields_.push_back(t); }
  void Hex(std::string& t) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string h;
    for (unsigned char c : t) {
      h += kDigits[c >> 4];
      h += kDigits[c & 15];
    }
    fields_.push_back(h);
  }
  std::string Record(char kind) const {
    std::string out(1, kind);
    for (const std::string& f : fields_) out += kSeparator + f;
    return out;
  }

 private:
  Fields fields_;
};

// Reads them back; Done is false when a field was missing or malformed.
class StateReader {
 public:
  StateReader(const Fields& fields, size_t at) : fields_(fields), at_(at) {}
  template <typename T>
  void Num(T& v) {
    int64_t x = 0;
    if (!ok_ || at_ >= fields_.size() || !ParseNumber(fields_[at_++], &x)) {
      ok_ = false;
      return;
    }
    v = static_cast<T>(x);
  }
  void Text(std::string& t) {
    if (!ok_ || at_ >= fields_.size()) {
      ok_ = false;
      return;
    }
    t = fields_[at_++];
  }
  void Hex(std::string& t) {
    std::string h;
    Text(h);
    t.clear();
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
    for (size_t i = 0; ok_ && i + 1 < h.size(); i += 2) {
      t += static_cast<char>(nibble(h[i]) * 16 + nibble(h[i + 1]));
    }
    ok_ = ok_ && h.size() % 2 == 0;
  }
  bool Done() const { return ok_ && at_ == fields_.size(); }

 private:
  const Fields& fields_;
  size_t at_;
  bool ok_ = true;
};

}  // namespace

// clang-format off
const VirtualPrinter::Handler VirtualPrinter::kHandlers[] = {
    // Fiscal receipt.
    {kOpenReceipt, kPrints, &VirtualPrinter::Opened, nullptr},
    {kItem, kPrints, &VirtualPrinter::ItemPrinted, nullptr},
    {kItemAdjustment, kPrints, &VirtualPrinter::AdjustmentPrinted, nullptr},
    {kVoidItem, kPrints, &VirtualPrinter::VoidPrinted, nullptr},
    {kRefund, kPrints, &VirtualPrinter::RefundPrinted, nullptr},
    {kMessage, kPrints, &VirtualPrinter::LinesPrinted, nullptr},
    {kSubtotal, kPrints, &VirtualPrinter::SubtotalPrinted, nullptr},
    {kSubtotalAdjustment, kPrints, &VirtualPrinter::SubtotalPrinted, nullptr},
    {kNotPaid, kPrints, &VirtualPrinter::PaymentPrinted, nullptr},
    {kPayment, kPrints, &VirtualPrinter::PaymentPrinted, nullptr},
    {kVoidReceipt, kPrints, &VirtualPrinter::VoidedPrinted, nullptr},
    {kCloseReceipt, kPrints, &VirtualPrinter::Closed, nullptr},
    {kDuplicate, kPrints | kIdle, nullptr, &VirtualPrinter::Duplicate},
    // Non-fiscal printing and modes.
    {kNonFiscal, kPrints, &VirtualPrinter::NonFiscalPrinted, nullptr},
    {kPrintLine, kPrints, &VirtualPrinter::LinesPrinted, nullptr},
    {kTraining, kPrints, &VirtualPrinter::TrainingPrinted, nullptr},
    {kReset, 0, &VirtualPrinter::Cancelled, nullptr},
    // Reports.
    {kXReport, kPrints | kIdle, nullptr, &VirtualPrinter::XReport},
    {kZReport, kPrints | kIdle, nullptr, &VirtualPrinter::ZReport},
    {kPeriodicReport, kPrints | kIdle, nullptr, &VirtualPrinter::FiscalMemoryReport},
    {kMemoryReport, kPrints | kIdle, nullptr, &VirtualPrinter::FiscalMemoryReport},
    {kPowerLossReport, kPrints | kIdle, nullptr, &VirtualPrinter::PowerLossReport},
    // Presettings.
    {kSetDate, kIdle, nullptr, &VirtualPrinter::SetDate},
    {kHeaderLine, kIdle, nullptr, &VirtualPrinter::SetHeaderOrTrailer},
    {kTrailerLine, kIdle, nullptr, &VirtualPrinter::SetHeaderOrTrailer},
    {kVatTable, kIdle, nullptr, &VirtualPrinter::SetVatTable},
    {kPosId, kIdle, nullptr, &VirtualPrinter::SetPosId},
    {kStoreId, kIdle, nullptr, &VirtualPrinter::SetStoreId},
    // Queries.
    {kStatus, 0, nullptr, &VirtualPrinter::Status},
    {kGetDate, 0, nullptr, &VirtualPrinter::Clock},
    {kGetData, 0, nullptr, &VirtualPrinter::Data},
    {kGetTotalizer, 0, nullptr, &VirtualPrinter::Totalizer},
    {kGetVatRate, 0, nullptr, &VirtualPrinter::VatRate},
    {kSync, 0, nullptr, &VirtualPrinter::Sync},
};
// clang-format on

VirtualPrinter::VirtualPrinter(const std::string& journalPath, const std::string& memoryPath)
    : memoryPath_(memoryPath) {
  if (!journalPath.empty()) journal_.open(journalPath, std::ios::app | std::ios::binary);
  header_[0] = {"KERUNEL DEMO STORE", true};
  header_[1] = {"1 Market Street, Sampletown", false};
  header_[2] = {"VAT No. 01234567890", false};
  trailer_[0] = {"Thank you and goodbye", false};
  if (!memoryPath_.empty()) LoadMemory();
}

std::string VirtualPrinter::MemoryPathFor(const std::string& journalPath) {
  std::filesystem::path p = std::filesystem::u8path(journalPath);
  p.replace_extension(".fiscal");
  const std::string memory = p.u8string();
  return memory == journalPath ? journalPath + ".fiscal" : memory;
}

// --- The fiscal memory on the disk ----------------------------------------------

// Every field of the state that a power cut must not lose, in the order the
// memory file holds them.
template <typename Archive>
void VirtualPrinter::Persist(Archive& a) {
  a.Num(receiptNumber_);
  a.Num(zNumber_);
  a.Num(grandTotal_);
  a.Num(dayOpen_);
  a.Num(savedTraining_);
  a.Num(savedDocument_);
  a.Num(savedSubtotal_);
  a.Num(clockOffset_);
  a.Num(fiscalMemorySize_);
  for (fiscal::PerRate* r : {&day_.items, &day_.surcharges, &day_.discounts, &day_.itemVoids,
                             &day_.refunds, &day_.vat}) {
    for (int64_t& x : *r) a.Num(x);
  }
  a.Num(day_.notPaid);
  a.Num(day_.voidedReceipts);
  a.Num(day_.receipts);
  a.Num(powerCuts_);
  a.Num(lastPowerOn_);
  a.Num(cancelledReceipts_);
  a.Num(cancelledValue_);
  for (int& rate : rates_) a.Num(rate);
  a.Text(posId_);
  a.Text(cashier_);
  a.Text(storeId_);
  for (auto& line : header_) {
    a.Text(line.first);
    a.Num(line.second);
  }
  for (auto& line : trailer_) {
    a.Text(line.first);
    a.Num(line.second);
  }
  a.Num(lastNumber_);
  a.Hex(lastAnswer_);
}

std::string VirtualPrinter::StateRecord(char kind) {
  savedDocument_ = doc_.State();
  savedTraining_ = doc_.Training();
  savedSubtotal_ = doc_.InReceipt() ? doc_.Subtotal() : 0;
  StateWriter w;
  Persist(w);
  return w.Record(kind);
}

void VirtualPrinter::LoadMemory() {
  std::vector<std::string> records;
  size_t dropped = 0;
  if (!RecordFile::Read(memoryPath_, &records, &dropped)) {
    memoryError_ = "the fiscal memory " + memoryPath_ + " cannot be read";
    return;
  }
  const bool existed = !records.empty() || dropped > 0;
  if (existed && (records.empty() || records[0] != kMemoryHeader)) {
    memoryError_ = memoryPath_ + " is not a fiscal memory file";
    return;
  }
  for (size_t i = 1; i < records.size(); ++i) {
    const Fields f = Split(records[i]);
    bool ok = false;
    if (f[0] == "H" && f.size() == 9) {
      ZRecord z{};
      int64_t v[8];
      ok = true;
      for (int k = 0; k < 8; ++k) ok = ok && ParseNumber(f[k + 1], &v[k]);
      z.number = static_cast<int>(v[0]);
      z.when = static_cast<std::time_t>(v[1]);
      z.receipts = static_cast<int>(v[2]);
      for (int k = 0; k < kVatRates; ++k) z.net[k] = v[3 + k];
      z.total = v[7];
      if (ok) fiscalMemory_.push_back(z);
    } else if (f[0] == "S") {
      StateReader r(f, 1);
      Persist(r);
      ok = r.Done();
    }
    if (!ok) {
      memoryError_ = memoryPath_ + ": record " + std::to_string(i + 1) + " cannot be read";
      return;
    }
  }
  doc_.Restore(fiscal::Snapshot{kDocIdle, savedTraining_});
  if (dropped > 0) {
    Print("FISCAL MEMORY: INCOMPLETE LAST RECORD", kStationJournal);
    Print("IGNORED (" + std::to_string(dropped) + " BYTES)", kStationJournal);
  }
  if (existed) {
    // The power came back.
    ++powerCuts_;
    lastPowerOn_ = Now();
    CancelAtPowerOn(static_cast<DocumentState>(savedDocument_), savedTraining_, savedSubtotal_);
  }
  if (!RewriteMemory()) memoryError_ = "the fiscal memory " + memoryPath_ + " cannot be written";
}

void VirtualPrinter::CancelAtPowerOn(DocumentState document, bool training, int64_t subtotal) {
  if (document == kDocIdle) return;
  PrintCentered("*** POWER CUT ***");
  if (document == kDocNonFiscal) {
    PrintCentered("*** DOCUMENT CANCELLED ***");
  } else if (training) {
    PrintCentered("*** TRAINING RECEIPT CANCELLED ***");
  } else {
    // The receipt takes its number and counts, voided, with the day.
    ++receiptNumber_;
    fiscal::Totals voided;
    voided.voidedReceipts = subtotal;
    day_.Add(voided);
    ++cancelledReceipts_;
    cancelledValue_ += subtotal;
    PrintCentered("*** RECEIPT " + std::to_string(receiptNumber_) + " CANCELLED ***");
    PrintAmount("CANCELLED", subtotal);
  }
  PrintCentered(DateText(Now(), true));
  PrintRule('=');
}

bool VirtualPrinter::RewriteMemory() {
  std::vector<std::string> records{kMemoryHeader};
  for (const ZRecord& z : fiscalMemory_) {
    std::string r = "H|" + std::to_string(z.number) + "|" +
                    std::to_string(static_cast<long long>(z.when)) + "|" +
                    std::to_string(z.receipts);
    for (int64_t n : z.net) r += "|" + std::to_string(n);
    r += "|" + std::to_string(z.total);
    records.push_back(r);
  }
  records.push_back(StateRecord('S'));
  return memory_.Rewrite(memoryPath_, records);
}

bool VirtualPrinter::SaveMemory() {
  if (memoryPath_.empty()) return true;
  // A Z report adds to the history: the file is written anew, which also
  // keeps it from growing with the day's commands.
  const bool rewrite = std::exchange(newZ_, false);
  return rewrite ? RewriteMemory() : memory_.Append(StateRecord('S'));
}

std::string VirtualPrinter::MemoryError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return memoryError_;
}

void VirtualPrinter::PowerCut() {
  std::lock_guard<std::mutex> lock(mu_);
  poweredOff_ = true;
  memory_.Close();
}

void VirtualPrinter::PowerOn() {
  std::lock_guard<std::mutex> lock(mu_);
  if (!poweredOff_) return;
  poweredOff_ = false;
  if (memoryPath_.empty() || !memoryError_.empty()) return;
  ++powerCuts_;
  lastPowerOn_ = Now();
  const fiscal::Document open = doc_;
  doc_.Restore(fiscal::Snapshot{kDocIdle, open.Training()});
  recording_ = false;
  receiptLines_.clear();
  CancelAtPowerOn(open.State(), open.Training(), open.InReceipt() ? open.Subtotal() : 0);
  if (!RewriteMemory()) memoryError_ = "the fiscal memory " + memoryPath_ + " cannot be written";
}

const VirtualPrinter::Handler* VirtualPrinter::Find(char code) const {
  for (const Handler& h : kHandlers) {
    if (h.code == code) return &h;
  }
  return nullptr;
}

uint8_t VirtualPrinter::Fault() const {
  if (coverOpen_) return kErrCoverOpen;
  if (paperOut_) return kErrReceiptEmpty;
  if (journalEmpty_) return kErrJournalEmpty;
  return 0;
}

// Every command passes here: its number decides whether it runs at all, and
// what it changed is in the fiscal memory before its answer goes out.
std::string VirtualPrinter::Execute(const std::string& message) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poweredOff_) return std::string();
  int64_t number = 0;
  const std::string command = Unnumbered(message, &number);
  if (command.empty()) return ErrorAnswer(kErrSyntax);
  const char code = command[0];
  const bool query = IsQuery(code);
  if (!query && !memoryError_.empty()) {
    return TagAnswer(ErrorAnswer(kErrMemoryDisconnected), code, number);
  }
  if (number != 0 && !query) {
    if (number == lastNumber_) return lastAnswer_;  // done already: the same answer again
    if (number < lastNumber_) return TagAnswer(ErrorAnswer(kErrStaleNumber), code, number);
  }
  const std::string answer = TagAnswer(Perform(command), code, number);
  if (query || answer[0] == kErrorCode) return answer;
  if (number != 0) {
    lastNumber_ = number;
    lastAnswer_ = answer;
  }
  if (!SaveMemory()) {
    // Not stored, not done: from now on the printer refuses, and a restart
    // goes on from what the memory holds.
    memoryError_ = "the fiscal memory " + memoryPath_ + " cannot be written";
    return TagAnswer(ErrorAnswer(kErrMemoryDisconnected), code, number);
  }
  return answer;
}

// One command through its handler.
std::string VirtualPrinter::Perform(const std::string& command) {
  if (command.empty()) return ErrorAnswer(kErrSyntax);
  if (busy_ > 0) {
    --busy_;
    return ErrorAnswer(kErrBusy);
  }
  const char code = command[0];
  const Handler* h = Find(code);
  if (!h) return ErrorAnswer(kErrUnknownCommand);
  if ((h->needs & kPrints) && Fault()) return ErrorAnswer(Fault());
  const Fields fields = Split(command.substr(1));
  for (const std::string& field : fields) {
    if (!IsFieldText(field)) return ErrorAnswer(kErrSyntax);
  }
  if ((h->needs & kIdle) && doc_.CheckIdle()) return ErrorAnswer(kErrWrongState);
  uint8_t error = 0;
  Fields out;
  if (h->printed) {
    fiscal::Operation op;
    error = fiscal::ParseOperation(code, fields, &op);
    // A full fiscal memory takes no more fiscal receipts.
    if (!error && code == kOpenReceipt && !doc_.Training() && FiscalMemoryFull()) {
      error = kErrMemoryFull;
    }
    const fiscal::Document before = doc_;
    fiscal::Effect effect;
    if (!error) error = doc_.Apply(op, &effect);
    if (!error) out = (this->*h->printed)(op, effect, before);
  } else {
    out = (this->*h->run)(code, fields, &error);
  }
  if (error) return ErrorAnswer(error);
  std::string answer(1, code);
  answer += std::to_string(Flags());
  for (const std::string& field : out) answer += kSeparator + field;
  return answer.size() <= kMaxMessage ? answer : ErrorAnswer(kErrSyntax);
}

// --- Document operations ------------------------------------------------------

VirtualPrinter::Fields VirtualPrinter::Opened(const fiscal::Operation& op, const fiscal::Effect&,
                                              const fiscal::Document&) {
  if (!doc_.Training()) dayOpen_ = true;
  receiptLines_.clear();
  recording_ = true;
  totalPrinted_ = false;
  if (op.flag) PrintHeader();
  if (doc_.Training()) PrintCentered("TRAINING - NOT A FISCAL RECEIPT");
  PrintRule();
  return {std::to_string(receiptNumber_ + 1)};
}

VirtualPrinter::Fields VirtualPrinter::ItemPrinted(const fiscal::Operation& op,
                                                   const fiscal::Effect& e,
                                                   const fiscal::Document&) {
  PrintAmount(op.text, e.value, e.vat);
  const int64_t quantity = op.quantity == 0 ? 1000 : op.quantity;
  if (quantity != 1000 || op.unitPrice != 0) {
    std::string detail = "  " + Quantity(quantity);
    if (op.unitPrice != 0) detail += " x " + FormatMoney(op.unitPrice);
    if (!op.unitName.empty()) detail += " " + op.unitName;
    Print(detail);
  }
  return {std::to_string(doc_.Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::AdjustmentPrinted(const fiscal::Operation& op,
                                                         const fiscal::Effect& e,
                                                         const fiscal::Document&) {
  PrintAmount(AdjustmentLabel(op.type, op.amount, op.text),
              fiscal::IsDiscount(op.type) ? -e.value : e.value, e.vat);
  return {std::to_string(doc_.Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::VoidPrinted(const fiscal::Operation& op,
                                                   const fiscal::Effect& e,
                                                   const fiscal::Document&) {
  PrintAmount("VOID " + op.text, -e.value, e.vat);
  return {std::to_string(doc_.Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::RefundPrinted(const fiscal::Operation& op,
                                                     const fiscal::Effect& e,
                                                     const fiscal::Document&) {
  PrintAmount("REFUND " + op.text, -e.value, e.vat);
  return {std::to_string(doc_.Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::LinesPrinted(const fiscal::Operation& op,
                                                    const fiscal::Effect&,
                                                    const fiscal::Document&) {
  const int station = op.code == kPrintLine ? static_cast<int>(op.flag) : kStationReceipt;
  for (const std::string& line : op.lines) Print(line, station);
  return {};
}

VirtualPrinter::Fields VirtualPrinter::SubtotalPrinted(const fiscal::Operation& op,
                                                       const fiscal::Effect& e,
                                                       const fiscal::Document&) {
  if (op.code == kSubtotal) {
    PrintAmount("SUBTOTAL", doc_.Subtotal());
  } else {
    const bool discount = fiscal::IsDiscount(op.type);
    PrintAmount("SUBTOTAL " + AdjustmentLabel(op.type, op.amount, op.text),
                discount ? -e.value : e.value);
  }
  return {std::to_string(doc_.Subtotal())};
}

VirtualPrinter::Fields VirtualPrinter::PaymentPrinted(const fiscal::Operation& op,
                                                      const fiscal::Effect& e,
                                                      const fiscal::Document&) {
  const bool notPaid = op.code == kNotPaid;
  if (!totalPrinted_) {
    PrintRule();
    PrintAmount("TOTAL EUR", doc_.Subtotal());
    totalPrinted_ = true;
  }
  PrintAmount(op.text.empty() ? (notPaid ? "NOT PAID" : "CASH") : op.text, e.value);
  const int64_t due = doc_.Due();
  if (due < 0) PrintAmount("CHANGE", -due);
  return {std::to_string(due)};
}

VirtualPrinter::Fields VirtualPrinter::VoidedPrinted(const fiscal::Operation& op,
                                                     const fiscal::Effect&,
                                                     const fiscal::Document&) {
  if (!op.text.empty()) Print(op.text);
  PrintCentered("*** RECEIPT VOIDED ***");
  return {};
}

VirtualPrinter::Fields VirtualPrinter::Closed(const fiscal::Operation&, const fiscal::Effect&,
                                              const fiscal::Document& before) {
  // The receipt's VAT per rate, as printed; the day's VAT is their sum.
  fiscal::Totals receipt = before.ReceiptTotals();
  const bool voided = before.Voided();
  if (!voided) {
    PrintRule();
    for (int v = 0; v < kVatRates; ++v) {
      const int64_t net = receipt.Net(v);
      if (net == 0) continue;
      receipt.vat[v] = fiscal::VatIncluded(net, rates_[v]);
      char line[64];
      std::snprintf(line, sizeof line, "VAT %c %7s %11s %11s", VatLetter(v + 1),
                    Rate(rates_[v]).c_str(), FormatMoney(net - receipt.vat[v]).c_str(),
                    FormatMoney(receipt.vat[v]).c_str());
      Print(line);
    }
  }
  PrintRule();
  const bool training = doc_.Training();
  const int number = training ? receiptNumber_ + 1 : ++receiptNumber_;
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
  PrintCentered(training ? "TRAINING - NOT A FISCAL RECEIPT" : "FISCAL RECEIPT");
  PrintRule('=');
  if (!training) {
    if (voided) {
      fiscal::Totals counted;
      counted.voidedReceipts = receipt.Net();
      day_.Add(counted);
    } else {
      day_.Add(receipt);
      grandTotal_ += receipt.Net();
    }
  }
  lastReceipt_ = receiptLines_;
  recording_ = false;
  return {std::to_string(number)};
}

VirtualPrinter::Fields VirtualPrinter::NonFiscalPrinted(const fiscal::Operation& op,
                                                        const fiscal::Effect&,
                                                        const fiscal::Document&) {
  if (op.flag) {
    PrintHeader();
    PrintCentered("NON-FISCAL DOCUMENT");
    PrintRule();
  } else {
    PrintRule();
    PrintCentered(DateText(Now(), true));
    PrintCentered("NON-FISCAL DOCUMENT");
    PrintRule('=');
  }
  return {};
}

VirtualPrinter::Fields VirtualPrinter::TrainingPrinted(const fiscal::Operation&,
                                                       const fiscal::Effect&,
                                                       const fiscal::Document&) {
  PrintCentered(doc_.Training() ? "TRAINING MODE ON" : "TRAINING MODE OFF");
  PrintRule('=');
  return {};
}

VirtualPrinter::Fields VirtualPrinter::Cancelled(const fiscal::Operation&, const fiscal::Effect&,
                                                 const fiscal::Document& before) {
  if (before.State() != kDocIdle && !Fault()) {
    PrintCentered(before.State() == kDocNonFiscal ? "*** DOCUMENT CANCELLED ***"
                                                  : "*** RECEIPT CANCELLED ***");
    PrintRule('=');
  }
  recording_ = false;
  receiptLines_.clear();
  return {};
}

// --- Reports ------------------------------------------------------------------

VirtualPrinter::Fields VirtualPrinter::Duplicate(char, const Fields&, uint8_t* error) {
  if (lastReceipt_.empty()) {
    *error = kErrWrongState;
    return {};
  }
  PrintCentered("*** DUPLICATE - NOT FISCAL ***");
  for (const std::string& line : std::vector<std::string>(lastReceipt_)) Print(line);
  PrintCentered("*** DUPLICATE - NOT FISCAL ***");
  PrintRule('=');
  return {};
}

void VirtualPrinter::PrintTotalsReport(const fiscal::Totals& t) {
  for (int v = 0; v < kVatRates; ++v) {
    if (t.items[v] == 0 && t.Net(v) == 0) continue;
    Print(std::string("VAT ") + VatLetter(v + 1) + " " + Rate(rates_[v]));
    PrintAmount("  ITEMS", t.items[v]);
    if (t.surcharges[v]) PrintAmount("  SURCHARGES", t.surcharges[v]);
    if (t.discounts[v]) PrintAmount("  DISCOUNTS", -t.discounts[v]);
    if (t.itemVoids[v]) PrintAmount("  VOIDS", -t.itemVoids[v]);
    if (t.refunds[v]) PrintAmount("  REFUNDS", -t.refunds[v]);
    PrintAmount("  TOTAL", t.Net(v));  // VAT included, after adjustments
    PrintAmount("  VAT", t.vat[v]);    // the sum of the receipts' VAT lines
  }
  PrintRule();
  Print("RECEIPTS " + std::to_string(t.receipts));
  if (t.voidedReceipts) PrintAmount("VOIDED RECEIPTS", t.voidedReceipts);
  if (t.notPaid) PrintAmount("NOT PAID", t.notPaid);
  PrintAmount("DAILY TOTAL", t.Net());
}

VirtualPrinter::Fields VirtualPrinter::XReport(char, const Fields&, uint8_t*) {
  PrintHeader();
  PrintCentered("X REPORT", true);
  PrintCentered(DateText(Now(), true));
  PrintRule();
  PrintTotalsReport(day_);
  PrintRule('=');
  return {};
}

VirtualPrinter::Fields VirtualPrinter::ZReport(char, const Fields&, uint8_t* error) {
  const std::time_t now = Now();
  const std::string free = std::to_string(fiscalMemorySize_ - fiscalMemory_.size());
  // Training never reaches the fiscal memory: the report says what a Z
  // report would hold, and nothing is reset.
  if (doc_.Training()) {
    PrintHeader();
    PrintCentered("Z REPORT - TRAINING", true);
    PrintCentered(DateText(now, true));
    PrintRule();
    PrintTotalsReport(day_);
    PrintCentered("TRAINING - NOT FISCAL, NOTHING RESET");
    PrintRule('=');
    return {std::to_string(zNumber_), free};
  }
  if (FiscalMemoryFull()) {
    *error = kErrMemoryFull;
    return {};
  }
  ++zNumber_;
  PrintHeader();
  PrintCentered("Z REPORT " + std::to_string(zNumber_), true);
  PrintCentered(DateText(now, true));
  PrintRule();
  PrintTotalsReport(day_);
  PrintAmount("GRAND TOTAL", grandTotal_);
  PrintCentered("FISCAL MEMORY UPDATED");
  PrintRule('=');
  ZRecord r{zNumber_, now, day_.receipts, day_.Nets(), day_.Net()};
  fiscalMemory_.push_back(r);
  day_ = fiscal::Totals{};
  receiptNumber_ = 0;
  dayOpen_ = false;
  powerCuts_ = 0;
  cancelledReceipts_ = 0;
  cancelledValue_ = 0;
  newZ_ = true;
  return {std::to_string(zNumber_), std::to_string(fiscalMemorySize_ - fiscalMemory_.size())};
}

VirtualPrinter::Fields VirtualPrinter::PowerLossReport(char, const Fields&, uint8_t*) {
  PrintCentered("POWER LOSS REPORT", true);
  PrintCentered(DateText(Now(), true));
  PrintRule();
  if (powerCuts_ == 0) {
    Print("No power failure since the last Z report");
  } else {
    Print("POWER CUTS SINCE Z " + std::to_string(zNumber_) + std::string(5, ' ') +
          std::to_string(powerCuts_));
    Print("LAST POWER ON " + DateText(static_cast<std::time_t>(lastPowerOn_), true));
    Print("RECEIPTS CANCELLED " + std::to_string(cancelledReceipts_));
    PrintAmount("CANCELLED VALUE", cancelledValue_);
  }
  PrintRule();
  Print("RECEIPTS " + std::to_string(day_.receipts));
  PrintAmount("DAILY TOTAL", day_.Net());
  PrintAmount("GRAND TOTAL", grandTotal_);
  PrintRule('=');
  return {};
}

// By Z number (memory report type 1) or by date (type 2, and the periodic
// totals report).
VirtualPrinter::Fields VirtualPrinter::FiscalMemoryReport(char code, const Fields& f,
                                                          uint8_t* error) {
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

// --- Presettings --------------------------------------------------------------

VirtualPrinter::Fields VirtualPrinter::SetDate(char, const Fields& f, uint8_t* error) {
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

VirtualPrinter::Fields VirtualPrinter::SetHeaderOrTrailer(char code, const Fields& f,
                                                          uint8_t* error) {
  int64_t line = 0, wide = 0;
  const int count = code == kHeaderLine ? kHeaderLines : kTrailerLines;
  const std::string text = Text(f, 2);
  if (!Number(f, 0, &line) || !NumberOr(f, 1, 0, &wide) || line < 1 || line > count) {
    *error = kErrSyntax;
  } else if (uint8_t e = fiscal::CheckLine(text, wide ? kLineWidth / 2 : kLineWidth)) {
    *error = e;
  } else {
    auto& slot = code == kHeaderLine ? header_[line - 1] : trailer_[line - 1];
    slot = {text, wide != 0};
  }
  return {};
}

VirtualPrinter::Fields VirtualPrinter::SetVatTable(char, const Fields& f, uint8_t* error) {
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

VirtualPrinter::Fields VirtualPrinter::SetPosId(char, const Fields& f, uint8_t* error) {
  *error = fiscal::CheckLine(Text(f, 0), 4);
  if (!*error) *error = fiscal::CheckLine(Text(f, 1), 8);
  if (!*error) {
    posId_ = Text(f, 0);
    cashier_ = Text(f, 1);
  }
  return {};
}

VirtualPrinter::Fields VirtualPrinter::SetStoreId(char, const Fields& f, uint8_t* error) {
  *error = fiscal::CheckLine(Text(f, 0), 16);
  if (!*error) storeId_ = Text(f, 0);
  return {};
}

// --- Queries ------------------------------------------------------------------

VirtualPrinter::Fields VirtualPrinter::Status(char, const Fields&, uint8_t*) {
  return {std::to_string(doc_.State()), std::to_string(receiptNumber_), std::to_string(zNumber_),
          ClockText(Now()), std::to_string(fiscalMemorySize_ - fiscalMemory_.size())};
}

VirtualPrinter::Fields VirtualPrinter::Clock(char, const Fields&, uint8_t*) {
  return {ClockText(Now())};
}

VirtualPrinter::Fields VirtualPrinter::Data(char, const Fields& f, uint8_t* error) {
  int64_t item = 0;
  int64_t sum = 0;
  if (Number(f, 0, &item)) {
    switch (item) {
      case kDataCurrentTotal:
        return {std::to_string(doc_.InReceipt() ? doc_.Subtotal() : 0)};
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
  }
  *error = kErrSyntax;
  return {};
}

VirtualPrinter::Fields VirtualPrinter::Totalizer(char, const Fields& f, uint8_t* error) {
  int64_t vat = 0, kind = 0;
  if (!Number(f, 0, &vat) || !Number(f, 1, &kind) || vat < 0 || vat > kVatRates) {
    *error = kErrSyntax;
    return {};
  }
  int64_t sum = 0;
  for (int v = 0; v < kVatRates; ++v) {
    if (vat != 0 && v != vat - 1) continue;
    switch (kind) {
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
        sum += day_.vat[v];
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

VirtualPrinter::Fields VirtualPrinter::VatRate(char, const Fields& f, uint8_t* error) {
  int64_t vat = 0;
  if (!Number(f, 0, &vat) || vat < 1 || vat > kVatRates) {
    *error = kErrBadVat;
    return {};
  }
  return {std::to_string(rates_[vat - 1])};
}

VirtualPrinter::Fields VirtualPrinter::Sync(char, const Fields&, uint8_t*) {
  const bool open = doc_.InReceipt();
  const fiscal::Line* last = doc_.LastItem();
  return {std::to_string(kCommandSetVersion),
          std::to_string(lastNumber_),
          std::to_string(doc_.State()),
          std::to_string(open ? doc_.Subtotal() : 0),
          std::to_string(open ? doc_.Due() : 0),
          std::to_string(open && last ? last->Net() : -1),
          std::to_string(receiptNumber_),
          std::to_string(zNumber_),
          std::to_string(fiscalMemorySize_ - fiscalMemory_.size())};
}

// --- State and paper ----------------------------------------------------------

bool VirtualPrinter::FiscalMemoryFull() const {
  return fiscalMemory_.size() >= fiscalMemorySize_;
}

int VirtualPrinter::Flags() const {
  int flags = 0;
  if (coverOpen_) flags |= kFlagCoverOpen;
  if (paperOut_) flags |= kFlagReceiptEmpty;
  if (nearEnd_) flags |= kFlagReceiptNearEnd;
  if (journalEmpty_) flags |= kFlagJournalEmpty;
  if (dayOpen_) flags |= kFlagDayOpen;
  if (doc_.Training()) flags |= kFlagTraining;
  if (!memoryError_.empty()) flags |= kFlagMemoryFault;
  return flags;
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

void VirtualPrinter::Print(const std::string& line, int station) {
  std::string text = line.substr(0, kLineWidth);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (station & kStationReceipt) {
    paper_ += text;
    paper_ += '\n';
    if (paper_.size() >= 2 * kPaperKept) {
      const size_t drop = paper_.size() - kPaperKept;
      paper_.erase(0, drop);
      paperDropped_ += drop;
    }
    if (recording_) receiptLines_.push_back(text);
  }
  if (journal_.is_open()) {
    journal_ << text << '\n';
    journal_.flush();
  }
}

void VirtualPrinter::PrintAmount(const std::string& label, int64_t cents, int vat) {
  const std::string amount = FormatMoney(cents);
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

// --- Faults and what it holds ---------------------------------------------------

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

void VirtualPrinter::SetFiscalMemorySize(size_t records) {
  std::lock_guard<std::mutex> lock(mu_);
  fiscalMemorySize_ = std::max(records, fiscalMemory_.size());
}

std::string VirtualPrinter::Paper() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paper_;
}

size_t VirtualPrinter::PaperSize() const {
  std::lock_guard<std::mutex> lock(mu_);
  return paperDropped_ + paper_.size();
}

std::string VirtualPrinter::PaperSince(size_t offset) const {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t at = offset > paperDropped_ ? offset - paperDropped_ : 0;
  return at < paper_.size() ? paper_.substr(at) : std::string();
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
  return doc_.State();
}

size_t VirtualPrinter::FiscalRecords() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fiscalMemory_.size();
}

int VirtualPrinter::PowerCuts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return powerCuts_;
}

}  // namespace ecrsim
