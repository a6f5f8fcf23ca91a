#include "operation.h"

#include <array>

namespace fiscal {
namespace {

using namespace ecrcmd;

enum class Slot : uint8_t {
  kText,
  kUnitName,
  kLines,  // every field from here on is a line
  kAmount,
  kQuantity,
  kVat,
  kUnitPrice,
  kType,
  kAdjustment,
  kTotal,
  kFlag,
};

struct Field {
  Slot slot;
  bool optional;  // numbers: an empty or missing field takes the default
};

struct Layout {
  char code;
  int64_t flagDefault;
  std::array<Field, 6> fields;
  uint8_t count;
};

constexpr Field Text{Slot::kText, true};
constexpr Field Unit{Slot::kUnitName, true};
constexpr Field Lines{Slot::kLines, true};
constexpr Field Amount{Slot::kAmount, false};
constexpr Field AmountOr{Slot::kAmount, true};  // informative
constexpr Field Quantity{Slot::kQuantity, true};
constexpr Field Vat{Slot::kVat, false};
constexpr Field VatOrItems{Slot::kVat, true};  // 0: the item's
constexpr Field UnitPrice{Slot::kUnitPrice, true};
constexpr Field Type{Slot::kType, false};
constexpr Field AdjType{Slot::kType, true};
constexpr Field Adjustment{Slot::kAdjustment, true};
constexpr Field Total{Slot::kTotal, true};
constexpr Field Flag{Slot::kFlag, false};
constexpr Field FlagOr{Slot::kFlag, true};

// clang-format off
constexpr Layout kLayouts[] = {
    {kOpenReceipt, 1, {FlagOr}, 1},
    {kItem, 0, {Text, Amount, Quantity, Vat, UnitPrice, Unit}, 6},
    {kItemAdjustment, 0, {Type, Text, Amount, VatOrItems}, 4},
    {kVoidItem, 0, {Text, Amount, Quantity, AdjType, Adjustment, Vat}, 6},
    {kRefund, 0, {Text, Amount, Vat}, 3},
    {kMessage, 0, {Lines}, 1},
    {kSubtotal, 0, {AmountOr}, 1},
    {kSubtotalAdjustment, 0, {Type, Text, Amount}, 3},
    {kNotPaid, 0, {Text, Amount}, 2},
    {kPayment, 0, {Total, Amount, Text}, 3},
    {kVoidReceipt, 0, {Text}, 1},
    {kCloseReceipt, 0, {}, 0},
    {kNonFiscal, 0, {Flag}, 1},
    {kPrintLine, kStationReceipt, {FlagOr, Lines}, 2},
    {kTraining, 0, {Flag}, 1},
    {kReset, 0, {}, 0},
};
// clang-format on

const Layout* Find(char code) {
  for (const Layout& l : kLayouts) {
    if (l.code == code) return &l;
  }
  return nullptr;
}

int64_t* NumberOf(Operation* op, Slot slot) {
  switch (slot) {
    case Slot::kAmount:
      return &op->amount;
    case Slot::kQuantity:
      return &op->quantity;
    case Slot::kVat:
      return &op->vat;
    case Slot::kUnitPrice:
      return &op->unitPrice;
    case Slot::kType:
      return &op->type;
    case Slot::kAdjustment:
      return &op->adjustment;
    case Slot::kTotal:
      return &op->total;
    case Slot::kFlag:
      return &op->flag;
    default:
      return nullptr;
  }
}

}  // namespace

bool IsDocumentCode(char code) {
  return Find(code) != nullptr;
}

std::string BuildCommand(const Operation& op) {
  const Layout* layout = Find(op.code);
  std::vector<std::string> fields;
  if (layout) {
    Operation copy = op;  // NumberOf wants a mutable operation
    for (uint8_t i = 0; i < layout->count; ++i) {
      const Slot slot = layout->fields[i].slot;
      if (slot == Slot::kText) {
        fields.push_back(op.text);
      } else if (slot == Slot::kUnitName) {
        fields.push_back(op.unitName);
      } else if (slot == Slot::kLines) {
        fields.insert(fields.end(), op.lines.begin(), op.lines.end());
      } else if (slot == Slot::kTotal && op.total == kNoTotal) {
        fields.emplace_back();
      } else {
        fields.push_back(std::to_string(*NumberOf(&copy, slot)));
      }
    }
  }
  return Build(op.code, fields);
}

uint8_t ParseOperation(char code, const std::vector<std::string>& fields, Operation* op) {
  *op = Operation{};
  op->code = code;
  const Layout* layout = Find(code);
  if (!layout) return kErrUnknownCommand;
  op->flag = layout->flagDefault;
  for (uint8_t i = 0; i < layout->count; ++i) {
    const Field& f = layout->fields[i];
    const bool present = i < fields.size();
    if (f.slot == Slot::kText || f.slot == Slot::kUnitName) {
      (f.slot == Slot::kText ? op->text : op->unitName) = present ? fields[i] : std::string();
    } else if (f.slot == Slot::kLines) {
      if (present) op->lines.assign(fields.begin() + i, fields.end());
      if (op->lines.empty()) op->lines.emplace_back();
    } else if (present && !fields[i].empty()) {
      if (!ParseNumber(fields[i], NumberOf(op, f.slot))) return kErrSyntax;
    } else if (!f.optional) {
      return kErrSyntax;
    }
  }
  return 0;
}

}  // namespace fiscal
