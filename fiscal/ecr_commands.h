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
};
// clang-format on

constexpr char kSeparator = '|';
constexpr char kErrorCode = 'E';
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
};

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

// An answer taken apart: code, status flags and fields. Error answers set
// isError and error.
struct Answer {
  char code = 0;
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
    if (message.size() != 2) return false;
    answer->isError = true;
    answer->error = static_cast<uint8_t>(message[1]);
    return true;
  }
  std::vector<std::string> parts = Split(message.substr(1));
  int64_t flags = 0;
  if (!ParseNumber(parts[0], &flags) || flags < 0 || flags > 0xFFFF) return false;
  answer->flags = static_cast<int>(flags);
  answer->fields.assign(parts.begin() + 1, parts.end());
  return true;
}

}  // namespace ecrcmd
