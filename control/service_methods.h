// The Service Object's methods that the control binds at Open: one row
// per name, in the order of the DISPID slots of CServiceDispatch.
#pragma once

#include <cstdint>

namespace kr {

enum ServiceMethod : int8_t {
  kSvcGetPropertyNumber = 0,
  kSvcSetPropertyNumber = 1,
  kSvcGetPropertyString = 2,
  kSvcSetPropertyString = 3,
  kSvcOpenService = 4,
  kSvcClose = 5,
  kSvcClaim = 6,
  kSvcRelease = 7,
  kSvcCheckHealth = 8,
  kSvcDirectIO = 9,
  kSvcCOFreezeEvents = 10,
  kSvcClearOutput = 11,
  kSvcSetDate = 12,
  kSvcSetHeaderLine = 13,
  kSvcSetPOSID = 14,
  kSvcSetStoreFiscalID = 15,
  kSvcSetTrailerLine = 16,
  kSvcSetVatTable = 17,
  kSvcSetVatValue = 18,
  kSvcBeginFiscalReceipt = 19,
  kSvcEndFiscalReceipt = 20,
  kSvcPrintDuplicateReceipt = 21,
  kSvcPrintRecItem = 22,
  kSvcPrintRecItemAdjustment = 23,
  kSvcPrintRecMessage = 24,
  kSvcPrintRecNotPaid = 25,
  kSvcPrintRecRefund = 26,
  kSvcPrintRecSubtotal = 27,
  kSvcPrintRecSubtotalAdjustment = 28,
  kSvcPrintRecTotal = 29,
  kSvcPrintRecVoid = 30,
  kSvcPrintRecVoidItem = 31,
  kSvcBeginFiscalDocument = 32,
  kSvcEndFiscalDocument = 33,
  kSvcPrintFiscalDocumentLine = 34,
  kSvcBeginItemList = 35,
  kSvcEndItemList = 36,
  kSvcVerifyItem = 37,
  kSvcPrintPeriodicTotalsReport = 38,
  kSvcPrintPowerLossReport = 39,
  kSvcPrintReport = 40,
  kSvcPrintXReport = 41,
  kSvcPrintZReport = 42,
  kSvcBeginInsertion = 43,
  kSvcBeginRemoval = 44,
  kSvcEndInsertion = 45,
  kSvcEndRemoval = 46,
  kSvcBeginFixedOutput = 47,
  kSvcBeginNonFiscal = 48,
  kSvcBeginTraining = 49,
  kSvcEndFixedOutput = 50,
  kSvcEndNonFiscal = 51,
  kSvcEndTraining = 52,
  kSvcPrintFixedOutput = 53,
  kSvcPrintNormal = 54,
  kSvcGetData = 55,
  kSvcGetDate = 56,
  kSvcGetTotalizer = 57,
  kSvcGetVatEntry = 58,
  kSvcClearError = 59,
  kSvcResetPrinter = 60,
};

constexpr int kServiceMethodCount = 61;

struct ServiceMethodInfo {
  const wchar_t* name;         // asked of the Service Object exactly as spelled
  const wchar_t* failureText;  // shown when the call fails; nullptr: no report
};

extern const ServiceMethodInfo kServiceMethods[kServiceMethodCount];

}  // namespace kr
