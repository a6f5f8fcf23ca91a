#include "member_table.h"

#include "kerunel_dispids.h"
#include "opos.h"
#include "service_methods.h"

namespace kr {
namespace {

constexpr VARTYPE kLongRef = VT_BYREF | VT_I4;
constexpr VARTYPE kStringRef = VT_BYREF | VT_BSTR;

using A = MemberAction;

constexpr Member Property(const char* name, DISPID dispid, VARTYPE type, bool writable,
                          long propertyIndex, A action = A::kRoutedProperty) {
  return Member{name, dispid, true, writable, action, type, propertyIndex, -1, 0, 0, {}};
}

}  // namespace

// clang-format off
#define KR_READ(name, type) Property(#name, KR_DISPID_##name, type, false, opos::PIDX_##name)
#define KR_WRITE(name, type) Property(#name, KR_DISPID_##name, type, true, opos::PIDX_##name)
#define KR_METHOD(name, result, action, service, event, count, ...) \
  Member{#name, KR_DISPID_##name, false, false, action, result, 0, service, event, count, {__VA_ARGS__}}
#define KR_FORWARD(name, service, count, ...) \
  KR_METHOD(name, VT_I4, A::kForward, service, 0, count, __VA_ARGS__)
// clang-format on

// In DISPID order: properties 1-92, methods 93-153, then AboutBox.
const Member kMembers[kMemberCount] = {
    KR_WRITE(BinaryConversion, VT_I4),
    KR_READ(CheckHealthText, VT_BSTR),
    KR_READ(Claimed, VT_BOOL),
    KR_WRITE(DeviceEnabled, VT_BOOL),
    KR_WRITE(FreezeEvents, VT_BOOL),
    KR_READ(OutputID, VT_I4),
    KR_READ(PowerState, VT_I4),
    KR_WRITE(PowerNotify, VT_I4),
    KR_READ(ResultCode, VT_I4),
    KR_READ(ResultCodeExtended, VT_I4),
    KR_READ(State, VT_I4),
    Property("ControlObjectDescription", KR_DISPID_ControlObjectDescription, VT_BSTR, false, 0,
             A::kOwnDescription),
    Property("ControlObjectVersion", KR_DISPID_ControlObjectVersion, VT_I4, false, 0,
             A::kOwnVersion),
    KR_READ(ServiceObjectDescription, VT_BSTR),
    KR_READ(ServiceObjectVersion, VT_I4),
    KR_READ(DeviceDescription, VT_BSTR),
    KR_READ(DeviceName, VT_BSTR),
    KR_READ(CapAdditionalLines, VT_BOOL),
    KR_READ(CapAmountAdjustment, VT_BOOL),
    KR_READ(CapAmountNotPaid, VT_BOOL),
    KR_READ(CapCheckTotal, VT_BOOL),
    KR_READ(CapCoverSensor, VT_BOOL),
    KR_READ(CapDoubleWidth, VT_BOOL),
    KR_READ(CapDuplicateReceipt, VT_BOOL),
    KR_READ(CapFixedOutput, VT_BOOL),
    KR_READ(CapHasVatTable, VT_BOOL),
    KR_READ(CapIndependentHeader, VT_BOOL),
    KR_READ(CapItemList, VT_BOOL),
    KR_READ(CapJrnEmptySensor, VT_BOOL),
    KR_READ(CapJrnNearEndSensor, VT_BOOL),
    KR_READ(CapJrnPresent, VT_BOOL),
    KR_READ(CapNonFiscalMode, VT_BOOL),
    KR_READ(CapOrderAdjustmentFirst, VT_BOOL),
    KR_READ(CapPercentAdjustment, VT_BOOL),
    KR_READ(CapPositiveAdjustment, VT_BOOL),
    KR_READ(CapPowerLossReport, VT_BOOL),
    KR_READ(CapPredefinedPaymentLines, VT_BOOL),
    KR_READ(CapReceiptNotPaid, VT_BOOL),
    KR_READ(CapRecEmptySensor, VT_BOOL),
    KR_READ(CapRecNearEndSensor, VT_BOOL),
    KR_READ(CapRecPresent, VT_BOOL),
    KR_READ(CapRemainingFiscalMemory, VT_BOOL),
    KR_READ(CapReservedWord, VT_BOOL),
    KR_READ(CapSetHeader, VT_BOOL),
    KR_READ(CapSetPOSID, VT_BOOL),
    KR_READ(CapSetStoreFiscalID, VT_BOOL),
    KR_READ(CapSetTrailer, VT_BOOL),
    KR_READ(CapSetVatTable, VT_BOOL),
    KR_READ(CapSlpEmptySensor, VT_BOOL),
    KR_READ(CapSlpFiscalDocument, VT_BOOL),
    KR_READ(CapSlpFullSlip, VT_BOOL),
    KR_READ(CapSlpNearEndSensor, VT_BOOL),
    KR_READ(CapSlpPresent, VT_BOOL),
    KR_READ(CapSlpValidation, VT_BOOL),
    KR_READ(CapSubAmountAdjustment, VT_BOOL),
    KR_READ(CapSubPercentAdjustment, VT_BOOL),
    KR_READ(CapSubtotal, VT_BOOL),
    KR_READ(CapTrainingMode, VT_BOOL),
    KR_READ(CapValidateJournal, VT_BOOL),
    KR_READ(CapXReport, VT_BOOL),
    KR_READ(AmountDecimalPlaces, VT_I4),
    KR_WRITE(AsyncMode, VT_BOOL),
    KR_WRITE(CheckTotal, VT_BOOL),
    KR_READ(CountryCode, VT_I4),
    KR_READ(CoverOpen, VT_BOOL),
    KR_READ(DayOpened, VT_BOOL),
    KR_READ(DescriptionLength, VT_I4),
    KR_WRITE(DuplicateReceipt, VT_BOOL),
    KR_READ(ErrorLevel, VT_I4),
    KR_READ(ErrorOutID, VT_I4),
    KR_READ(ErrorState, VT_I4),
    KR_READ(ErrorStation, VT_I4),
    KR_READ(ErrorString, VT_BSTR),
    KR_WRITE(FlagWhenIdle, VT_BOOL),
    KR_READ(JrnEmpty, VT_BOOL),
    KR_READ(JrnNearEnd, VT_BOOL),
    KR_READ(MessageLength, VT_I4),
    KR_READ(NumHeaderLines, VT_I4),
    KR_READ(NumTrailerLines, VT_I4),
    KR_READ(NumVatRates, VT_I4),
    KR_READ(PredefinedPaymentLines, VT_BSTR),
    KR_READ(PrinterState, VT_I4),
    KR_READ(QuantityDecimalPlaces, VT_I4),
    KR_READ(QuantityLength, VT_I4),
    KR_READ(RecEmpty, VT_BOOL),
    KR_READ(RecNearEnd, VT_BOOL),
    KR_READ(RemainingFiscalMemory, VT_I4),
    KR_READ(ReservedWord, VT_BSTR),
    KR_READ(SlpEmpty, VT_BOOL),
    KR_READ(SlpNearEnd, VT_BOOL),
    KR_WRITE(SlipSelection, VT_I4),
    KR_READ(TrainingModeActive, VT_BOOL),
    KR_METHOD(Open, VT_I4, A::kOpen, -1, 0, 1, {"DeviceName", VT_BSTR}),
    KR_METHOD(Close, VT_I4, A::kClose, kSvcClose, 0, 0, ),
    KR_FORWARD(Claim, kSvcClaim, 1, {"Timeout", VT_I4}),
    KR_FORWARD(Release_, kSvcRelease, 0),
    KR_FORWARD(CheckHealth, kSvcCheckHealth, 1, {"Level", VT_I4}),
    KR_FORWARD(ClearOutput, kSvcClearOutput, 0),
    KR_FORWARD(DirectIO, kSvcDirectIO, 3, {"Command", VT_I4}, {"pData", kLongRef},
               {"pString", kStringRef}),
    KR_FORWARD(SetDate, kSvcSetDate, 1, {"Date", VT_BSTR}),
    KR_FORWARD(SetHeaderLine, kSvcSetHeaderLine, 3, {"LineNumber", VT_I4}, {"Text", VT_BSTR},
               {"DoubleWidth", VT_BOOL}),
    KR_FORWARD(SetPOSID, kSvcSetPOSID, 2, {"POSID", VT_BSTR}, {"CashierID", VT_BSTR}),
    KR_FORWARD(SetStoreFiscalID, kSvcSetStoreFiscalID, 1, {"ID", VT_BSTR}),
    KR_FORWARD(SetTrailerLine, kSvcSetTrailerLine, 3, {"LineNumber", VT_I4}, {"Text", VT_BSTR},
               {"DoubleWidth", VT_BOOL}),
    KR_FORWARD(SetVatTable, kSvcSetVatTable, 0),
    KR_FORWARD(SetVatValue, kSvcSetVatValue, 2, {"VatID", VT_I4}, {"VatValue", VT_BSTR}),
    KR_FORWARD(BeginFiscalReceipt, kSvcBeginFiscalReceipt, 1, {"PrintHeader", VT_BOOL}),
    KR_FORWARD(EndFiscalReceipt, kSvcEndFiscalReceipt, 1, {"PrintHeader", VT_BOOL}),
    KR_FORWARD(PrintDuplicateReceipt, kSvcPrintDuplicateReceipt, 0),
    KR_FORWARD(PrintRecItem, kSvcPrintRecItem, 6, {"Description", VT_BSTR}, {"Price", VT_CY},
               {"Quantity", VT_I4}, {"VatInfo", VT_I4}, {"UnitPrice", VT_CY},
               {"UnitName", VT_BSTR}),
    KR_FORWARD(PrintRecItemAdjustment, kSvcPrintRecItemAdjustment, 4, {"AdjustmentType", VT_I4},
               {"Description", VT_BSTR}, {"Amount", VT_CY}, {"VatInfo", VT_I4}),
    KR_FORWARD(PrintRecMessage, kSvcPrintRecMessage, 1, {"Message", VT_BSTR}),
    KR_FORWARD(PrintRecNotPaid, kSvcPrintRecNotPaid, 2, {"Description", VT_BSTR},
               {"Amount", VT_CY}),
    KR_FORWARD(PrintRecRefund, kSvcPrintRecRefund, 3, {"Description", VT_BSTR}, {"Amount", VT_CY},
               {"VatInfo", VT_I4}),
    KR_FORWARD(PrintRecSubtotal, kSvcPrintRecSubtotal, 1, {"Amount", VT_CY}),
    KR_FORWARD(PrintRecSubtotalAdjustment, kSvcPrintRecSubtotalAdjustment, 3,
               {"AdjustmentType", VT_I4}, {"Description", VT_BSTR}, {"Amount", VT_CY}),
    KR_FORWARD(PrintRecTotal, kSvcPrintRecTotal, 3, {"Total", VT_CY}, {"Payment", VT_CY},
               {"Description", VT_BSTR}),
    KR_FORWARD(PrintRecVoid, kSvcPrintRecVoid, 1, {"Description", VT_BSTR}),
    KR_FORWARD(PrintRecVoidItem, kSvcPrintRecVoidItem, 6, {"Description", VT_BSTR},
               {"Amount", VT_CY}, {"Quantity", VT_I4}, {"AdjustmentType", VT_I4},
               {"Adjustment", VT_CY}, {"VatInfo", VT_I4}),
    KR_FORWARD(BeginFiscalDocument, kSvcBeginFiscalDocument, 1, {"DocumentAmount", VT_I4}),
    KR_FORWARD(EndFiscalDocument, kSvcEndFiscalDocument, 0),
    KR_FORWARD(PrintFiscalDocumentLine, kSvcPrintFiscalDocumentLine, 1, {"DocumentLine", VT_BSTR}),
    KR_FORWARD(BeginItemList, kSvcBeginItemList, 1, {"VatID", VT_I4}),
    KR_FORWARD(EndItemList, kSvcEndItemList, 0),
    KR_FORWARD(VerifyItem, kSvcVerifyItem, 2, {"ItemName", VT_BSTR}, {"VatID", VT_I4}),
    KR_FORWARD(PrintPeriodicTotalsReport, kSvcPrintPeriodicTotalsReport, 2, {"Date1", VT_BSTR},
               {"Date2", VT_BSTR}),
    KR_FORWARD(PrintPowerLossReport, kSvcPrintPowerLossReport, 0),
    KR_FORWARD(PrintReport, kSvcPrintReport, 3, {"ReportType", VT_I4}, {"StartNum", VT_BSTR},
               {"EndNum", VT_BSTR}),
    KR_FORWARD(PrintXReport, kSvcPrintXReport, 0),
    KR_FORWARD(PrintZReport, kSvcPrintZReport, 0),
    KR_FORWARD(BeginInsertion, kSvcBeginInsertion, 1, {"Timeout", VT_I4}),
    KR_FORWARD(BeginRemoval, kSvcBeginRemoval, 1, {"Timeout", VT_I4}),
    KR_FORWARD(EndInsertion, kSvcEndInsertion, 0),
    KR_FORWARD(EndRemoval, kSvcEndRemoval, 0),
    KR_FORWARD(BeginFixedOutput, kSvcBeginFixedOutput, 2, {"Station", VT_I4},
               {"DocumentType", VT_I4}),
    KR_FORWARD(BeginNonFiscal, kSvcBeginNonFiscal, 0),
    KR_FORWARD(BeginTraining, kSvcBeginTraining, 0),
    KR_FORWARD(EndFixedOutput, kSvcEndFixedOutput, 0),
    KR_FORWARD(EndNonFiscal, kSvcEndNonFiscal, 0),
    KR_FORWARD(EndTraining, kSvcEndTraining, 0),
    KR_FORWARD(PrintFixedOutput, kSvcPrintFixedOutput, 3, {"DocumentType", VT_I4},
               {"LineNumber", VT_I4}, {"Data", VT_BSTR}),
    KR_FORWARD(PrintNormal, kSvcPrintNormal, 2, {"Station", VT_I4}, {"Data", VT_BSTR}),
    KR_FORWARD(GetData, kSvcGetData, 3, {"DataItem", VT_I4}, {"OptArgs", kLongRef},
               {"Data", kStringRef}),
    KR_FORWARD(GetDate, kSvcGetDate, 1, {"Date", kStringRef}),
    KR_FORWARD(GetTotalizer, kSvcGetTotalizer, 3, {"VatID", VT_I4}, {"OptArgs", VT_I4},
               {"Data", kStringRef}),
    KR_FORWARD(GetVatEntry, kSvcGetVatEntry, 3, {"VatID", VT_I4}, {"OptArgs", VT_I4},
               {"VatRate", kLongRef}),
    KR_FORWARD(ClearError, kSvcClearError, 0),
    KR_FORWARD(ResetPrinter, kSvcResetPrinter, 0),
    KR_METHOD(SODirectIO, VT_EMPTY, A::kFireEvent, -1, KR_EVENT_DirectIOEvent, 3,
              {"EventNumber", VT_I4}, {"pData", kLongRef}, {"pString", kStringRef}),
    KR_METHOD(SOError, VT_EMPTY, A::kFireEvent, -1, KR_EVENT_ErrorEvent, 4, {"ResultCode", VT_I4},
              {"ResultCodeExtended", VT_I4}, {"ErrorLocus", VT_I4}, {"pErrorResponse", kLongRef}),
    KR_METHOD(SOOutputComplete, VT_EMPTY, A::kFireEvent, -1, KR_EVENT_OutputIDEvent, 1,
              {"OutputID", VT_I4}),
    KR_METHOD(SOStatusUpdate, VT_EMPTY, A::kFireEvent, -1, KR_EVENT_StatusUpdateEvent, 1,
              {"Data", VT_I4}),
    KR_METHOD(SOProcessID, VT_I4, A::kProcessId, -1, 0, 0),
    KR_METHOD(AboutBox, VT_EMPTY, A::kAboutBox, -1, 0, 0),
};

const EventEntry kEvents[kEventCount] = {
    {"DirectIOEvent",
     KR_EVENT_DirectIOEvent,
     3,
     {{"EventNumber", VT_I4}, {"pData", kLongRef}, {"pString", kStringRef}}},
    {"ErrorEvent",
     KR_EVENT_ErrorEvent,
     4,
     {{"ResultCode", VT_I4},
      {"ResultCodeExtended", VT_I4},
      {"ErrorLocus", VT_I4},
      {"pErrorResponse", kLongRef}}},
    {"OutputIDEvent", KR_EVENT_OutputIDEvent, 1, {{"OutputID", VT_I4}}},
    {"StatusUpdateEvent", KR_EVENT_StatusUpdateEvent, 1, {{"Data", VT_I4}}},
};

#undef KR_READ
#undef KR_WRITE
#undef KR_METHOD
#undef KR_FORWARD

const Member* FindMember(DISPID dispid) {
  if (dispid >= 1 && dispid < kMemberCount) return &kMembers[dispid - 1];
  if (dispid == KR_DISPID_AboutBox) return &kMembers[kMemberCount - 1];
  return nullptr;
}

namespace {

// Member names are ASCII; folding only ASCII letters keeps the match free
// of locale rules (no dotless-i surprises, no ignored punctuation).
bool EqualsIgnoringAsciiCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
}

}  // namespace

const Member* FindMemberByName(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Member& m : kMembers) {
    if (EqualsIgnoringAsciiCase(m.name, name)) return &m;
  }
  return nullptr;
}

}  // namespace kr
