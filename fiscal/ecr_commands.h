// The Kerunel ECR command set: what the reference Service Object sends
// through a link driver and what the virtual fiscal printer of the ECR
// simulator executes (docs/ecr-commands.md describes it for people).
//
// A command is one message: its code letter, then its fields separated by
// '|'. The answer repeats the code letter, then the ECR's status flags as a
// decimal number, then the answer's fields, each after a '|':
//     command  A Bread|250|1000|1|0|
//     answer   A32|250
// An error answer is "E" followed by one byte, the ECR's error number.
//
// A command may carry a number right after its code ("A#17|Bread|..."); its
// answer then carries the same number ("A#17|32|250", or "E" + error byte +
// "A#17"), so an answer is never taken for another command's. For every
// command but a query the number also makes it happen at most once: the ECR
// keeps the number and answer of the numbered command it executed last, a
// repeat of that number gets the kept answer and executes nothing, and a
// lower number (a command arriving late) is refused. kSync tells the last
// number executed and the document state, to settle a lost answer.
// Amounts are whole cents, quantities thousandths, VAT rates hundredths of
// a percent, dates ddmmyyyyhhmm, all as decimal text. Texts are 8-bit
// (code page 1252) and carry no '|' and no control characters.
//
// Plain C++: shared by the Service Object and the simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecrcmd {

// Command codes. Letters that the links reserve are not used: 'E' (error
// answer), 'I' (the driver's own poke), 'S' (status request on the hex
// line), 'X' 'Y' 'F' 'G' 'B' (unsolicited messages on the host-PC link).
// clang-format off
enum Code : char {
  // Fiscal receipt.
  kOpenReceipt = 'O',         // [printHeader 0/1]              -> receipt number
  kItem = 'A',                // desc|amount|qty|vat|unitPrice|unitName -> subtotal
  kItemAdjustment = 'J',      // type|desc|amount|vat           -> subtotal
  kVoidItem = 'W',            // desc|amount|qty|adjType|adjustment|vat -> subtotal
  kRefund = 'R',              // desc|amount|vat                -> subtotal
  kMessage = 'M',             // line|line|...
  kSubtotal = 'C',            // amount                         -> subtotal
  kSubtotalAdjustment = 'U',  // type|desc|amount               -> subtotal
  kNotPaid = 'N',             // desc|amount                    -> amount still due
  kPayment = 'P',             // [total]|payment|desc           -> amount still due (< 0: change)
  kVoidReceipt = 'V',         // desc
  kCloseReceipt = 'K',        //                                -> receipt number
  kDuplicate = 'D',           // a copy of the last receipt
  // Non-fiscal printing and modes.
  kNonFiscal = 'b',           // 1 begin / 0 end
  kPrintLine = 'L',           // station|line|line|...
  kTraining = 'T',            // 1 begin / 0 end
  kReset = 'z',               // cancels any open document
  // Reports.
  kXReport = 'x',
  kZReport = 'Z',             //                                -> Z number|free Z records
  kPeriodicReport = 'p',      // date1|date2 (ddmmyyyy or ddmmyyyyhhmm)
  kMemoryReport = 'r',        // type 1 by Z number / 2 by date|start|end
  kPowerLossReport = 'l',
  // Presettings.
  kSetDate = 'd',             // ddmmyyyyhhmm
  kHeaderLine = 'h',          // line|doubleWidth|text
  kTrailerLine = 't',         // line|doubleWidth|text
  kVatTable = 'v',            // rate1|rate2|...
  kPosId = 'i',               // posId|cashierId
  kStoreId = 'k',             // id
  // Queries.
  kStatus = 'Q',              // -> state|receiptNo|zNo|date|freeZRecords
  kGetDate = 'c',             // -> ddmmyyyyhhmm
  kGetData = 'g',             // item                           -> text
  kGetTotalizer = 'u',        // vat (0: all)|kind              -> amount
  kGetVatRate = 'w',          // vat                            -> rate
  kSync = 's',                // -> version|lastNumber|document|subtotal|due|lastItem|
                              //    receiptNo|zNo|freeZRecords
};
// clang-format on

constexpr char kSeparator = '|';
constexpr char kErrorCode = 'E';
constexpr char kNumberMark = '#';
constexpr int64_t kMaxCommandNumber = 999999999;
// The command set's version, first field of the kSync answer: 2 is the set
// with command numbers and kSync (version 1 had neither).
constexpr int kCommandSetVersion = 2;
// Longest message either side sends: what one hex line can carry.
constexpr size_t kMaxMessage = 127;

// Status flags, the first field of every answer.
enum StatusFlag : int {
  kFlagCoverOpen = 0x01,
  kFlagReceiptEmpty = 0x02,
  kFlagReceiptNearEnd = 0x04,
  kFlagJournalEmpty = 0x08,
  kFlagJournalNearEnd = 0x10,
  kFlagDayOpen = 0x20,
  kFlagTraining = 0x40,
  kFlagMemoryFault = 0x80,  // the fiscal memory cannot be written: only queries are answered
};
// Every flag above: an answer with any other bit set is not valid (a flag
// added to the set is added here too).
constexpr int kKnownFlags = kFlagCoverOpen | kFlagReceiptEmpty | kFlagReceiptNearEnd |
                            kFlagJournalEmpty | kFlagJournalNearEnd | kFlagDayOpen |
                            kFlagTraining | kFlagMemoryFault;

// Document state in the status answer.
enum DocumentState : int {
  kDocIdle = 0,
  kDocReceipt = 1,        // items may be added
  kDocReceiptTotal = 2,   // partly paid
  kDocReceiptEnding = 3,  // paid or voided: only messages and the close
  kDocNonFiscal = 4,
};

// Error numbers of an "E" answer. 1-21 mirror the fiscal extended result
// codes (200 + n); the others are link-level refusals.
enum Error : uint8_t {
  kErrCoverOpen = 1,
  kErrJournalEmpty = 2,
  kErrReceiptEmpty = 3,
  kErrWrongState = 7,
  kErrClock = 9,
  kErrMemoryFull = 10,
  kErrMemoryDisconnected = 11,  // the fiscal memory cannot be written
  kErrBadQuantity = 13,
  kErrBadAmount = 14,
  kErrBadDescription = 15,
  kErrTotalOverflow = 16,
  kErrBadVat = 17,
  kErrBadPrice = 18,
  kErrBadDate = 19,
  kErrNegativeTotal = 20,
  kErrWordNotAllowed = 21,
  kErrBusy = 30,
  kErrSyntax = 31,
  kErrUnknownCommand = 32,
  kErrStaleNumber = 33,  // a number below the last executed one: nothing executed
};

// Adjustment types (item and subtotal adjustments).
enum Adjustment : int {
  kAmountDiscount = 1,
  kAmountSurcharge = 2,
  kPercentDiscount = 3,
  kPercentSurcharge = 4,
};

// Stations of a non-fiscal line (kPrintLine). The journal keeps a copy of
// everything the receipt station prints.
enum Station : int {
  kStationJournal = 1,
  kStationReceipt = 2,
  kStationBoth = 3,
};

// Items of kGetData.
enum DataItem : int {
  kDataCurrentTotal = 1,
  kDataDailyTotal = 2,
  kDataReceiptNumber = 3,
  kDataRefunds = 4,
  kDataNotPaid = 5,
  kDataVoids = 6,
  kDataZNumber = 7,
  kDataGrandTotal = 8,
  kDataPrinterId = 9,
  kDataFirmware = 10,
};

// Kinds of kGetTotalizer: the day's totals.
enum TotalizerKind : int {
  kTotalGross = 1,  // items and surcharges
  kTotalNet = 2,    // what was sold: gross less discounts, voids and refunds
  kTotalDiscount = 3,
  kTotalItems = 5,
  kTotalItemVoids = 6,
  kTotalNotPaid = 7,
  kTotalRefunds = 8,
  kTotalSurcharge = 14,
  kTotalVat = 16,  // VAT contained in the net
};

// Limits of the printer, published by the Service Object's properties.
constexpr int kLineWidth = 40;  // characters of a printed line
constexpr int kDescriptionLength = 24;
constexpr int kUnitNameLength = 8;
constexpr int kHeaderLines = 6;
constexpr int kTrailerLines = 4;
constexpr int kVatRates = 4;              // ids 1..4, printed as A..D
constexpr int kMaxRate = 9999;            // 99.99 %
constexpr int64_t kMaxAmount = 99999999;  // 999,999.99 per line and per receipt
constexpr int kQuantityLength = 10;       // digits of a quantity
constexpr const char kReservedWord[] = "TOTAL";

// Builds a command: the code, then the fields joined by '|'.
inline std::string Build(char code, const std::vector<std::string>& fields = {}) {
  std::string out(1, code);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += kSeparator;
    out += fields[i];
  }
  return out;
}

// Splits text at every '|' (an empty text gives one empty field).
inline std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == kSeparator) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

// Parses a decimal integer that fills the whole text (optional '-');
// false for anything else, or a value beyond +-10^15.
inline bool ParseNumber(const std::string& text, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    i = 1;
  }
  if (i >= text.size() || text.size() - i > 15) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = negative ? -v : v;
  return true;
}

// A text that may travel as a field: printable 8-bit characters, no '|'.
// Control characters are refused: C0, DEL, and the bytes code page 1252
// leaves undefined, which stand for the C1 controls U+0081, U+008D,
// U+008F, U+0090 and U+009D (the Service Object turns every other C1
// control into DEL before it gets here).
inline bool IsFieldText(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == static_cast<unsigned char>(kSeparator) || c == 0x81 ||
        c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
      return false;
    }
  }
  return true;
}

// Queries change nothing in the ECR: their numbers only tag the answer.
inline bool IsQuery(char code) {
  return code == kStatus || code == kGetDate || code == kGetData || code == kGetTotalizer ||
         code == kGetVatRate || code == kSync;
}

// Reads the command number at text[at]: '#', 1 to 9 digits, then '|' or the
// end. Returns the position after it (after the '|'), or 0 when there is
// none there (a '#' followed by anything else is text).
inline size_t ReadNumberMark(const std::string& text, size_t at, int64_t* number) {
  if (at >= text.size() || text[at] != kNumberMark) return 0;
  size_t i = at + 1;
  int64_t v = 0;
  while (i < text.size() && i - at <= 9 && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + (text[i++] - '0');
  }
  if (i == at + 1 || v < 1) return 0;
  if (i < text.size() && text[i] != kSeparator) return 0;
  *number = v;
  return i < text.size() ? i + 1 : i;
}

// The command with its number after the code ("A#17|Bread|...", "K#17").
inline std::string Numbered(const std::string& command, int64_t number) {
  if (command.empty()) return command;
  std::string out = command.substr(0, 1) + kNumberMark + std::to_string(number);
  if (command.size() > 1) out += kSeparator + command.substr(1);
  return out;
}

// Takes the number off a command: *number is 0 when it carries none.
inline std::string Unnumbered(const std::string& command, int64_t* number) {
  *number = 0;
  const size_t after = ReadNumberMark(command, 1, number);
  return after == 0 ? command : command.substr(0, 1) + command.substr(after);
}

// The answer to a numbered command, tagged with its code and number: "A32|250"
// becomes "A#17|32|250", the error "E" + byte becomes "E" + byte + "A#17".
inline std::string TagAnswer(const std::string& answer, char code, int64_t number) {
  if (answer.empty() || number == 0) return answer;
  const std::string mark = kNumberMark + std::to_string(number);
  if (answer[0] == kErrorCode) return answer.substr(0, 2) + code + mark;
  return answer.substr(0, 1) + mark + kSeparator + answer.substr(1);
}

// An answer taken apart: code, the command number it carries (0: none),
// status flags and fields. Error answers set isError and error; a tagged
// one names the refused command's code in code.
struct Answer {
  char code = 0;
  int64_t number = 0;
  bool isError = false;
  uint8_t error = 0;
  int flags = 0;
  std::vector<std::string> fields;
};

// Parses an answer message; false when it is not one of this command set.
inline bool ParseAnswer(const std::string& message, Answer* answer) {
  *answer = Answer{};
  if (message.empty()) return false;
  answer->code = message[0];
  if (message[0] == kErrorCode) {
    if (message.size() < 2) return false;
    answer->isError = true;
    answer->error = static_cast<uint8_t>(message[1]);
    if (message.size() == 2) return true;
    // Tagged: the refused command's code and number.
    answer->code = message[2];
    int64_t number = 0;
    if (ReadNumberMark(message, 3, &number) != message.size()) return false;
    answer->number = number;
    return true;
  }
  const size_t at = ReadNumberMark(message, 1, &answer->number);
  if (message.size() > 1 && message[1] == kNumberMark && at == 0) return false;
  std::vector<std::string> parts = Split(message.substr(at == 0 ? 1 : at));
  int64_t flags = 0;
  if (!ParseNumber(parts[0], &flags) || flags < 0 || flags > 0xFFFF) return false;
  answer->flags = static_cast<int>(flags);
  answer->fields.assign(parts.begin() + 1, parts.end());
  return true;
}

// The answer to kSync: what settles a lost answer and rebuilds a receipt.
struct SyncState {
  int64_t version = 0;
  int64_t lastNumber = 0;  // the last numbered command executed (0: none)
  int64_t document = kDocIdle;
  int64_t subtotal = 0;   // of the open receipt
  int64_t due = 0;        // still to pay (negative: change given)
  int64_t lastItem = -1;  // the open receipt's last item's amount; -1: none
  int64_t receiptNumber = 0;
  int64_t zNumber = 0;
  int64_t freeZRecords = 0;
};

// Reads a kSync answer's fields; false when one is missing or not a number.
inline bool ParseSync(const Answer& answer, SyncState* s) {
  int64_t* slots[] = {&s->version,  &s->lastNumber,    &s->document, &s->subtotal,    &s->due,
                      &s->lastItem, &s->receiptNumber, &s->zNumber,  &s->freeZRecords};
  const size_t count = sizeof slots / sizeof slots[0];
  if (answer.isError || answer.fields.size() < count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!ParseNumber(answer.fields[i], slots[i])) return false;
  }
  return s->document >= kDocIdle && s->document <= kDocNonFiscal;
}

}  // namespace ecrcmd
