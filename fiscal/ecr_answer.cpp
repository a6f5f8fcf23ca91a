#include "ecr_answer.h"

#include <cstdio>
#include <vector>

namespace ecrcmd {
namespace {

// What each command's answer carries after its status flags, one letter a
// field:
//   n a count (receipt or Z number, free records)   a an amount of a receipt
//   t a day's or the grand total                    r a VAT rate
//   d a date and time, ddmmyyyyhhmm                 s a document state
//   v the command set's version                     # a command number
//   x a text of one printed line
// The fields after a '?' may be left out.
struct Shape {
  char code;
  const char* fields;
};
// clang-format off
constexpr Shape kShapes[] = {
    {kOpenReceipt, "n"},   {kItem, "a"},    {kItemAdjustment, "a"}, {kVoidItem, "a"},
    {kRefund, "a"},        {kMessage, ""},  {kSubtotal, "a"},       {kSubtotalAdjustment, "a"},
    {kNotPaid, "a"},       {kPayment, "a"}, {kVoidReceipt, ""},     {kCloseReceipt, "?n"},
    {kDuplicate, ""},      {kNonFiscal, ""}, {kPrintLine, ""},      {kTraining, ""},
    {kReset, ""},          {kXReport, ""},  {kZReport, "nn"},       {kPeriodicReport, ""},
    {kMemoryReport, ""},   {kPowerLossReport, ""}, {kSetDate, ""},  {kHeaderLine, ""},
    {kTrailerLine, ""},    {kVatTable, ""}, {kPosId, ""},           {kStoreId, ""},
    {kStatus, "snndn"},    {kGetDate, "d"}, {kGetTotalizer, "t"},   {kGetVatRate, "r"},
    {kSync, "v#saaannn"},
};
// clang-format on

struct Range {
  char kind;
  const char* name;
  int64_t min, max;
};
constexpr Range kRanges[] = {
    {'n', "a count", 0, kMaxCount},
    {'a', "an amount", -kMaxAmount, kMaxAmount},
    {'t', "a total", -kMaxTotal, kMaxTotal},
    {'r', "a VAT rate", 0, kMaxRate},
    {'s', "a document state", kDocIdle, kDocNonFiscal},
    {'v', "a command set version", 1, 999},
    {'#', "a command number", 0, kMaxCommandNumber},
};

// The answer fields of a data request, by the item asked for.
const char* DataShape(const std::string& command) {
  int64_t item = 0;
  const std::vector<std::string> fields = Split(command.substr(1));
  if (!ParseNumber(fields[0], &item)) return "x";
  switch (item) {
    case kDataReceiptNumber:
    case kDataZNumber:
      return "n";
    case kDataPrinterId:
    case kDataFirmware:
      return "x";
    default:
      return item >= kDataCurrentTotal && item <= kDataGrandTotal ? "t" : "x";
  }
}

// The fields the answer to command carries; null for a code the command
// set does not know (a raw command): its fields are only checked as texts.
const char* ShapeOf(const std::string& command) {
  if (command.empty()) return nullptr;
  if (command[0] == kGetData) return DataShape(command);
  for (const Shape& s : kShapes) {
    if (s.code == command[0]) return s.fields;
  }
  return nullptr;
}

// A decimal number written the one way the ECR writes it: no sign but a
// leading '-', no leading zeros, no "-0".
bool ParseCanonical(const std::string& text, int64_t* value) {
  const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() <= digits || (text[digits] == '0' && text.size() > digits + 1) || text == "-0") {
    return false;
  }
  return ParseNumber(text, value);
}

bool IsLeapYear(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// ddmmyyyyhhmm naming a real day and minute.
bool IsDateTime(const std::string& s) {
  if (s.size() != 12) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  auto at = [&s](size_t i, size_t n) {
    int64_t v = 0;
    for (size_t j = i; j < i + n; ++j) v = v * 10 + (s[j] - '0');
    return v;
  };
  const int64_t day = at(0, 2), month = at(2, 2), year = at(4, 4), hour = at(8, 2),
                minute = at(10, 2);
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || year < 1900 || year > 2999 || hour > 23 || minute > 59) {
    return false;
  }
  const int64_t last = month == 2 && !IsLeapYear(year) ? 28 : kDays[month - 1];
  return day >= 1 && day <= last;
}

// A field's text as it may be shown: control bytes as \xHH, at most 24
// characters.
std::string Shown(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < 24; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > 24) out += "...";
  return out;
}

// Checks one field against its kind; false with *why.
bool CheckField(char kind, size_t index, const std::string& text, std::string* why) {
  char head[32];
  std::snprintf(head, sizeof head, "field %u \"", static_cast<unsigned>(index));
  const std::string field = head + Shown(text) + "\"";
  if (kind == 'x') {
    if (!IsFieldText(text)) {
      *why = field + " holds a control character";
      return false;
    }
    if (text.size() > static_cast<size_t>(kLineWidth)) {
      *why = field + " is longer than a printed line";
      return false;
    }
    return true;
  }
  if (kind == 'd') {
    if (IsDateTime(text)) return true;
    *why = field + " is not a date and time (ddmmyyyyhhmm)";
    return false;
  }
  for (const Range& r : kRanges) {
    if (r.kind != kind) continue;
    int64_t value = 0;
    if (!ParseCanonical(text, &value)) {
      *why = field + " is not " + r.name;
      return false;
    }
    if (value < r.min || value > r.max) {
      *why = field + " is out of range for " + r.name + " (" + std::to_string(r.min) + " to " +
             std::to_string(r.max) + ")";
      return false;
    }
    return true;
  }
  *why = field + " has no known form";
  return false;
}

// The answer after its code and number: flags, then the fields of shape.
bool CheckBody(const std::string& body, const char* shape, Answer* answer, std::string* why) {
  std::vector<std::string> parts = Split(body);
  int64_t flags = 0;
  if (!ParseCanonical(parts[0], &flags) || flags < 0 || (flags & ~kKnownFlags) != 0) {
    *why = "its status flags \"" + Shown(parts[0]) + "\" are not the ECR's flags";
    return false;
  }
  answer->flags = static_cast<int>(flags);
  answer->fields.assign(parts.begin() + 1, parts.end());
  const size_t count = answer->fields.size();
  if (shape == nullptr) {
    for (size_t i = 0; i < count; ++i) {
      if (!CheckField('x', i + 1, answer->fields[i], why)) return false;
    }
    return true;
  }
  size_t allowed = 0, required = 0;
  bool optional = false;
  for (const char* k = shape; *k; ++k) {
    if (*k == '?') {
      optional = true;
    } else {
      ++allowed;
      required += optional ? 0 : 1;
    }
  }
  if (count < required || count > allowed) {
    char text[80];
    if (required == allowed) {
      std::snprintf(text, sizeof text, "it has %u fields where %u are expected",
                    static_cast<unsigned>(count), static_cast<unsigned>(required));
    } else {
      std::snprintf(text, sizeof text, "it has %u fields where %u to %u are expected",
                    static_cast<unsigned>(count), static_cast<unsigned>(required),
                    static_cast<unsigned>(allowed));
    }
    *why = text;
    return false;
  }
  size_t i = 0;
  for (const char* k = shape; *k && i < count; ++k) {
    if (*k == '?') continue;
    if (!CheckField(*k, i + 1, answer->fields[i], why)) return false;
    ++i;
  }
  return true;
}

}  // namespace

AnswerFit ReadAnswer(const std::string& command, int64_t number, const std::string& message,
                     Answer* answer, std::string* why) {
  *answer = Answer{};
  if (command.empty() || message.empty()) return AnswerFit::kNotThis;
  const char code = command[0];
  if (message[0] == kErrorCode) {
    // "E" and the error byte, tagged with the refused command's code and
    // number; a raw command's refusal may carry neither.
    if (!ParseAnswer(message, answer) || answer->number != number) return AnswerFit::kNotThis;
    if (answer->code != code && !(number == 0 && message.size() == 2)) {
      return AnswerFit::kNotThis;
    }
    answer->code = code;
    return AnswerFit::kValid;
  }
  if (message[0] != code) return AnswerFit::kNotThis;
  int64_t carried = 0;
  const size_t after = ReadNumberMark(message, 1, &carried);
  if (carried != number || (after == 0 && message.size() > 1 && message[1] == kNumberMark)) {
    return AnswerFit::kNotThis;
  }
  // The number as the ECR writes it ("#7", not "#07"), or not surely this one.
  const std::string mark = kNumberMark + std::to_string(number);
  if (after != 0 && (message.compare(1, mark.size(), mark) != 0 ||
                     (after != 1 + mark.size() && after != 2 + mark.size()))) {
    return AnswerFit::kNotThis;
  }
  // This command's answer from here on.
  answer->code = code;
  answer->number = number;
  if (message.size() > kMaxMessage) {
    *why = "it is " + std::to_string(message.size()) + " bytes long, longer than a message";
    return AnswerFit::kMalformed;
  }
  if (!CheckBody(message.substr(after == 0 ? 1 : after), ShapeOf(command), answer, why)) {
    answer->fields.clear();
    return AnswerFit::kMalformed;
  }
  return AnswerFit::kValid;
}

}  // namespace ecrcmd
