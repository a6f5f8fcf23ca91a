// A document operation (a receipt line, a payment, a non-fiscal line, a
// mode change) as data, and the one table that lays its fields out in an
// ECR command. The Service Object builds commands with BuildCommand, the
// virtual printer reads them back with ParseOperation, so both ends agree
// on every field. Plain C++.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ecr_commands.h"

namespace fiscal {

// "No total given" in Operation::total: the printer does not compare.
constexpr int64_t kNoTotal = std::numeric_limits<int64_t>::min();

// Amounts in cents, quantities in thousandths, percentages in hundredths.
// Only the members that the code's layout names are used.
struct Operation {
  char code = 0;
  std::string text;                // description, or the voided receipt's reason
  std::vector<std::string> lines;  // message and non-fiscal lines
  std::string unitName;
  int64_t amount = 0;  // amount, or the percentage of a percent adjustment
  int64_t quantity = 0;
  int64_t vat = 0;
  int64_t unitPrice = 0;
  int64_t type = 0;        // adjustment type (voids: of the adjustment taken back)
  int64_t adjustment = 0;  // voids: the adjustment taken back
  int64_t total = kNoTotal;
  int64_t flag = 0;  // print header, begin (1) or end (0), or the station
};

// True for the codes that carry a document operation.
bool IsDocumentCode(char code);

// The command for op: its code, then its fields in the layout's order.
std::string BuildCommand(const Operation& op);

// Reads a command's fields (after the code) into op by the code's layout:
// 0, kErrSyntax for a number that is not one or a field that is missing,
// kErrUnknownCommand for a code that is not a document operation. Missing
// optional numbers take their defaults (0; the total: none; the print
// header flag: 1; the station: the receipt).
uint8_t ParseOperation(char code, const std::vector<std::string>& fields, Operation* op);

}  // namespace fiscal
