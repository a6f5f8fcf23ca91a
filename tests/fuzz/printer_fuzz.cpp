// Arbitrary command messages, one a line, executed by one virtual printer:
// every message gets an answer of the command set that fits one message, and
// whatever it accepted, no VAT rate and no day's total goes below zero.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ecr_commands.h"
#include "virtual_printer.h"

namespace {

int64_t Value(ecrsim::VirtualPrinter& printer, const std::string& query) {
  ecrcmd::Answer a;
  int64_t v = 0;
  if (!ecrcmd::ParseAnswer(printer.Execute(query), &a) || a.isError || a.fields.empty() ||
      !ecrcmd::ParseNumber(a.fields[0], &v)) {
    std::abort();
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ecrsim::VirtualPrinter printer;
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  while (at <= input.size()) {
    size_t end = input.find('\n', at);
    if (end == std::string::npos) end = input.size();
    const std::string answer = printer.Execute(input.substr(at, end - at));
    ecrcmd::Answer parsed;
    if (answer.size() > ecrcmd::kMaxMessage || !ecrcmd::ParseAnswer(answer, &parsed)) std::abort();
    at = end + 1;
  }
  for (int vat = 1; vat <= ecrcmd::kVatRates; ++vat) {
    if (Value(printer, "u" + std::to_string(vat) + "|2") < 0) std::abort();
  }
  if (Value(printer, "g1") < 0 || Value(printer, "g2") < 0) std::abort();
  return 0;
}
