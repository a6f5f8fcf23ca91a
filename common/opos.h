// OPOS Fiscal Printer constants: result codes, fiscal extended result
// codes, printer states, binary conversion values, property indices and
// the version encoding, with the names the test bench shows for them.
// Plain C++ (no Windows headers), shared by the control and the test bench.
#pragma once

namespace opos {

// Result codes: what every method returns and what ResultCode holds.
constexpr long OPOS_SUCCESS = 0;
constexpr long OPOS_E_CLOSED = 101;
constexpr long OPOS_E_CLAIMED = 102;
constexpr long OPOS_E_NOTCLAIMED = 103;
constexpr long OPOS_E_NOSERVICE = 104;
constexpr long OPOS_E_DISABLED = 105;
constexpr long OPOS_E_ILLEGAL = 106;
constexpr long OPOS_E_NOHARDWARE = 107;
constexpr long OPOS_E_OFFLINE = 108;
constexpr long OPOS_E_NOEXIST = 109;
constexpr long OPOS_E_EXISTS = 110;
constexpr long OPOS_E_FAILURE = 111;
constexpr long OPOS_E_TIMEOUT = 112;
constexpr long OPOS_E_BUSY = 113;
constexpr long OPOS_E_EXTENDED = 114;

// ResultCodeExtended when ResultCode is OPOS_E_EXTENDED.
constexpr long OPOS_EFPTR_COVER_OPEN = 201;
constexpr long OPOS_EFPTR_JRN_EMPTY = 202;
constexpr long OPOS_EFPTR_REC_EMPTY = 203;
constexpr long OPOS_EFPTR_SLP_EMPTY = 204;
constexpr long OPOS_EFPTR_SLP_FORM = 205;
constexpr long OPOS_EFPTR_MISSING_DEVICES = 206;
constexpr long OPOS_EFPTR_WRONG_STATE = 207;
constexpr long OPOS_EFPTR_TECHNICAL_ASSISTANCE = 208;
constexpr long OPOS_EFPTR_CLOCK_ERROR = 209;
constexpr long OPOS_EFPTR_MEMORY_FULL = 210;
constexpr long OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED = 211;
constexpr long OPOS_EFPTR_FISCAL_TOTALS_ERROR = 212;
constexpr long OPOS_EFPTR_BAD_ITEM_QUANTITY = 213;
constexpr long OPOS_EFPTR_BAD_ITEM_AMOUNT = 214;
constexpr long OPOS_EFPTR_BAD_ITEM_DESCRIPTION = 215;
constexpr long OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW = 216;
constexpr long OPOS_EFPTR_BAD_VAT = 217;
constexpr long OPOS_EFPTR_BAD_PRICE = 218;
constexpr long OPOS_EFPTR_BAD_DATE = 219;
constexpr long OPOS_EFPTR_NEGATIVE_TOTAL = 220;
constexpr long OPOS_EFPTR_WORD_NOT_ALLOWED = 221;

// Values of PrinterState.
enum PrinterState : long {
  kPrinterMonitor = 1,
  kPrinterFiscalReceipt = 2,
  kPrinterFiscalReceiptTotal = 3,
  kPrinterFiscalReceiptEnding = 4,
  kPrinterFiscalDocument = 5,
  kPrinterFixedOutput = 6,
  kPrinterItemList = 7,
  kPrinterLocked = 8,
  kPrinterNonFiscal = 9,
  kPrinterReport = 10,
};

// Values of BinaryConversion.
enum BinaryConversion : long {
  kBinaryConversionNone = 0,
  kBinaryConversionNibble = 1,
  kBinaryConversionDecimal = 2,
};

// Property indices: the number under which a property is asked of the
// Service Object. Each family counts up from its base.
constexpr long PIDX_STRING_BASE = 1000000;
constexpr long PIDX_FPTR_BASE = 16000;
constexpr long PIDX_FPTR_CAP_BASE = 16500;

// Common numeric properties (2, 10 and 12 are not used by this control).
constexpr long PIDX_Claimed = 1;
constexpr long PIDX_DeviceEnabled = 3;
constexpr long PIDX_FreezeEvents = 4;
constexpr long PIDX_OutputID = 5;
constexpr long PIDX_ResultCode = 6;
constexpr long PIDX_ResultCodeExtended = 7;
constexpr long PIDX_ServiceObjectVersion = 8;
constexpr long PIDX_State = 9;
constexpr long PIDX_BinaryConversion = 11;
constexpr long PIDX_PowerNotify = 13;
constexpr long PIDX_PowerState = 14;

// Common string properties.
constexpr long PIDX_CheckHealthText = PIDX_STRING_BASE + 1;
constexpr long PIDX_DeviceDescription = PIDX_STRING_BASE + 2;
constexpr long PIDX_DeviceName = PIDX_STRING_BASE + 3;
constexpr long PIDX_ServiceObjectDescription = PIDX_STRING_BASE + 4;

// Fiscal printer numeric properties.
constexpr long PIDX_AmountDecimalPlaces = PIDX_FPTR_BASE + 1;
constexpr long PIDX_AsyncMode = PIDX_FPTR_BASE + 2;
constexpr long PIDX_CheckTotal = PIDX_FPTR_BASE + 3;
constexpr long PIDX_CountryCode = PIDX_FPTR_BASE + 4;
constexpr long PIDX_CoverOpen = PIDX_FPTR_BASE + 5;
constexpr long PIDX_DayOpened = PIDX_FPTR_BASE + 6;
constexpr long PIDX_DescriptionLength = PIDX_FPTR_BASE + 7;
constexpr long PIDX_DuplicateReceipt = PIDX_FPTR_BASE + 8;
constexpr long PIDX_ErrorLevel = PIDX_FPTR_BASE + 9;
constexpr long PIDX_ErrorOutID = PIDX_FPTR_BASE + 10;
constexpr long PIDX_ErrorState = PIDX_FPTR_BASE + 11;
constexpr long PIDX_ErrorStation = PIDX_FPTR_BASE + 12;
constexpr long PIDX_FlagWhenIdle = PIDX_FPTR_BASE + 13;
constexpr long PIDX_JrnEmpty = PIDX_FPTR_BASE + 14;
constexpr long PIDX_JrnNearEnd = PIDX_FPTR_BASE + 15;
constexpr long PIDX_MessageLength = PIDX_FPTR_BASE + 16;
constexpr long PIDX_NumHeaderLines = PIDX_FPTR_BASE + 17;
constexpr long PIDX_NumTrailerLines = PIDX_FPTR_BASE + 18;
constexpr long PIDX_NumVatRates = PIDX_FPTR_BASE + 19;
constexpr long PIDX_PrinterState = PIDX_FPTR_BASE + 20;
constexpr long PIDX_QuantityDecimalPlaces = PIDX_FPTR_BASE + 21;
constexpr long PIDX_QuantityLength = PIDX_FPTR_BASE + 22;
constexpr long PIDX_RecEmpty = PIDX_FPTR_BASE + 23;
constexpr long PIDX_RecNearEnd = PIDX_FPTR_BASE + 24;
constexpr long PIDX_RemainingFiscalMemory = PIDX_FPTR_BASE + 25;
constexpr long PIDX_SlpEmpty = PIDX_FPTR_BASE + 26;
constexpr long PIDX_SlpNearEnd = PIDX_FPTR_BASE + 27;
constexpr long PIDX_SlipSelection = PIDX_FPTR_BASE + 28;
constexpr long PIDX_TrainingModeActive = PIDX_FPTR_BASE + 29;

// Fiscal printer capabilities.
constexpr long PIDX_CapAdditionalLines = PIDX_FPTR_CAP_BASE + 1;
constexpr long PIDX_CapAmountAdjustment = PIDX_FPTR_CAP_BASE + 2;
constexpr long PIDX_CapAmountNotPaid = PIDX_FPTR_CAP_BASE + 3;
constexpr long PIDX_CapCheckTotal = PIDX_FPTR_CAP_BASE + 4;
constexpr long PIDX_CapCoverSensor = PIDX_FPTR_CAP_BASE + 5;
constexpr long PIDX_CapDoubleWidth = PIDX_FPTR_CAP_BASE + 6;
constexpr long PIDX_CapDuplicateReceipt = PIDX_FPTR_CAP_BASE + 7;
constexpr long PIDX_CapFixedOutput = PIDX_FPTR_CAP_BASE + 8;
constexpr long PIDX_CapHasVatTable = PIDX_FPTR_CAP_BASE + 9;
constexpr long PIDX_CapIndependentHeader = PIDX_FPTR_CAP_BASE + 10;
constexpr long PIDX_CapItemList = PIDX_FPTR_CAP_BASE + 11;
constexpr long PIDX_CapJrnEmptySensor = PIDX_FPTR_CAP_BASE + 12;
constexpr long PIDX_CapJrnNearEndSensor = PIDX_FPTR_CAP_BASE + 13;
constexpr long PIDX_CapJrnPresent = PIDX_FPTR_CAP_BASE + 14;
constexpr long PIDX_CapNonFiscalMode = PIDX_FPTR_CAP_BASE + 15;
constexpr long PIDX_CapOrderAdjustmentFirst = PIDX_FPTR_CAP_BASE + 16;
constexpr long PIDX_CapPercentAdjustment = PIDX_FPTR_CAP_BASE + 17;
constexpr long PIDX_CapPositiveAdjustment = PIDX_FPTR_CAP_BASE + 18;
constexpr long PIDX_CapPowerLossReport = PIDX_FPTR_CAP_BASE + 19;
constexpr long PIDX_CapPredefinedPaymentLines = PIDX_FPTR_CAP_BASE + 20;
constexpr long PIDX_CapReceiptNotPaid = PIDX_FPTR_CAP_BASE + 21;
constexpr long PIDX_CapRecEmptySensor = PIDX_FPTR_CAP_BASE + 22;
constexpr long PIDX_CapRecNearEndSensor = PIDX_FPTR_CAP_BASE + 23;
constexpr long PIDX_CapRecPresent = PIDX_FPTR_CAP_BASE + 24;
constexpr long PIDX_CapRemainingFiscalMemory = PIDX_FPTR_CAP_BASE + 25;
constexpr long PIDX_CapReservedWord = PIDX_FPTR_CAP_BASE + 26;
constexpr long PIDX_CapSetHeader = PIDX_FPTR_CAP_BASE + 27;
constexpr long PIDX_CapSetPOSID = PIDX_FPTR_CAP_BASE + 28;
constexpr long PIDX_CapSetStoreFiscalID = PIDX_FPTR_CAP_BASE + 29;
constexpr long PIDX_CapSetTrailer = PIDX_FPTR_CAP_BASE + 30;
constexpr long PIDX_CapSetVatTable = PIDX_FPTR_CAP_BASE + 31;
constexpr long PIDX_CapSlpEmptySensor = PIDX_FPTR_CAP_BASE + 32;
constexpr long PIDX_CapSlpFiscalDocument = PIDX_FPTR_CAP_BASE + 33;
constexpr long PIDX_CapSlpFullSlip = PIDX_FPTR_CAP_BASE + 34;
constexpr long PIDX_CapSlpNearEndSensor = PIDX_FPTR_CAP_BASE + 35;
constexpr long PIDX_CapSlpPresent = PIDX_FPTR_CAP_BASE + 36;
constexpr long PIDX_CapSlpValidation = PIDX_FPTR_CAP_BASE + 37;
constexpr long PIDX_CapSubAmountAdjustment = PIDX_FPTR_CAP_BASE + 38;
constexpr long PIDX_CapSubPercentAdjustment = PIDX_FPTR_CAP_BASE + 39;
constexpr long PIDX_CapSubtotal = PIDX_FPTR_CAP_BASE + 40;
constexpr long PIDX_CapTrainingMode = PIDX_FPTR_CAP_BASE + 41;
constexpr long PIDX_CapValidateJournal = PIDX_FPTR_CAP_BASE + 42;
constexpr long PIDX_CapXReport = PIDX_FPTR_CAP_BASE + 43;

// Fiscal printer string properties.
constexpr long PIDX_ErrorString = PIDX_STRING_BASE + PIDX_FPTR_BASE + 1;
constexpr long PIDX_PredefinedPaymentLines = PIDX_STRING_BASE + PIDX_FPTR_BASE + 2;
constexpr long PIDX_ReservedWord = PIDX_STRING_BASE + PIDX_FPTR_BASE + 3;

// OPOS versions are one long: major * 1000000 + minor * 1000 + build.
constexpr long EncodeVersion(long major, long minor, long build) {
  return major * 1000000 + minor * 1000 + build;
}
constexpr long VersionMajor(long version) {
  return version / 1000000;
}
constexpr long VersionMinor(long version) {
  return version / 1000 % 1000;
}
constexpr long VersionBuild(long version) {
  return version % 1000;
}

// The control object's own version, 1.0.3.
constexpr long kControlObjectVersion = EncodeVersion(1, 0, 3);

// Device states (values of State while open).
constexpr long OPOS_S_CLOSED = 1;
constexpr long OPOS_S_IDLE = 2;
constexpr long OPOS_S_BUSY = 3;
constexpr long OPOS_S_ERROR = 4;

// The application's answer to an error event, and where the error arose.
constexpr long OPOS_ER_RETRY = 11;
constexpr long OPOS_ER_CLEAR = 12;
constexpr long OPOS_EL_OUTPUT = 1;

// Power reporting: PowerNotify, PowerState and the power status updates.
constexpr long OPOS_PN_DISABLED = 0;
constexpr long OPOS_PN_ENABLED = 1;
constexpr long OPOS_PS_UNKNOWN = 2000;
constexpr long OPOS_PS_ONLINE = 2001;
constexpr long OPOS_PS_OFF_OFFLINE = 2004;
constexpr long OPOS_SUE_POWER_ONLINE = 2001;
constexpr long OPOS_SUE_POWER_OFF_OFFLINE = 2004;

// CheckHealth levels.
constexpr long OPOS_CH_INTERNAL = 1;
constexpr long OPOS_CH_EXTERNAL = 2;
constexpr long OPOS_CH_INTERACTIVE = 3;

// Fiscal printer: stations, error levels, status updates.
constexpr long FPTR_S_JOURNAL = 1;
constexpr long FPTR_S_RECEIPT = 2;
constexpr long FPTR_S_JOURNAL_RECEIPT = 3;
constexpr long FPTR_EL_NONE = 1;
constexpr long FPTR_EL_RECOVERABLE = 2;
constexpr long FPTR_EL_FATAL = 3;
constexpr long FPTR_SUE_COVER_OPEN = 1;
constexpr long FPTR_SUE_COVER_OK = 2;
constexpr long FPTR_SUE_JRN_EMPTY = 3;
constexpr long FPTR_SUE_JRN_NEAREMPTY = 4;
constexpr long FPTR_SUE_JRN_PAPEROK = 5;
constexpr long FPTR_SUE_REC_EMPTY = 11;
constexpr long FPTR_SUE_REC_NEAREMPTY = 12;
constexpr long FPTR_SUE_REC_PAPEROK = 13;
constexpr long FPTR_SUE_IDLE = 1001;

// Fiscal printer: adjustment types, report types, slip selection, country.
constexpr long FPTR_AT_AMOUNT_DISCOUNT = 1;
constexpr long FPTR_AT_AMOUNT_SURCHARGE = 2;
constexpr long FPTR_AT_PERCENTAGE_DISCOUNT = 3;
constexpr long FPTR_AT_PERCENTAGE_SURCHARGE = 4;
constexpr long FPTR_RT_ORDINAL = 1;
constexpr long FPTR_RT_DATE = 2;
constexpr long FPTR_SS_FULL_LENGTH = 1;
constexpr long FPTR_CC_ITALY = 8;

// Fiscal printer: GetData items and GetTotalizer kinds.
constexpr long FPTR_GD_CURRENT_TOTAL = 1;
constexpr long FPTR_GD_FIRMWARE = 10;
constexpr long FPTR_GT_GROSS = 1;
constexpr long FPTR_GT_VAT = 16;

// Value-to-name tables for display.
struct CodeName {
  long value;
  const char* name;
};

constexpr CodeName kResultCodeNames[] = {
    {OPOS_SUCCESS, "OPOS_SUCCESS"},         {OPOS_E_CLOSED, "OPOS_E_CLOSED"},
    {OPOS_E_CLAIMED, "OPOS_E_CLAIMED"},     {OPOS_E_NOTCLAIMED, "OPOS_E_NOTCLAIMED"},
    {OPOS_E_NOSERVICE, "OPOS_E_NOSERVICE"}, {OPOS_E_DISABLED, "OPOS_E_DISABLED"},
    {OPOS_E_ILLEGAL, "OPOS_E_ILLEGAL"},     {OPOS_E_NOHARDWARE, "OPOS_E_NOHARDWARE"},
    {OPOS_E_OFFLINE, "OPOS_E_OFFLINE"},     {OPOS_E_NOEXIST, "OPOS_E_NOEXIST"},
    {OPOS_E_EXISTS, "OPOS_E_EXISTS"},       {OPOS_E_FAILURE, "OPOS_E_FAILURE"},
    {OPOS_E_TIMEOUT, "OPOS_E_TIMEOUT"},     {OPOS_E_BUSY, "OPOS_E_BUSY"},
    {OPOS_E_EXTENDED, "OPOS_E_EXTENDED"},
};

constexpr CodeName kExtendedCodeNames[] = {
    {OPOS_EFPTR_COVER_OPEN, "OPOS_EFPTR_COVER_OPEN"},
    {OPOS_EFPTR_JRN_EMPTY, "OPOS_EFPTR_JRN_EMPTY"},
    {OPOS_EFPTR_REC_EMPTY, "OPOS_EFPTR_REC_EMPTY"},
    {OPOS_EFPTR_SLP_EMPTY, "OPOS_EFPTR_SLP_EMPTY"},
    {OPOS_EFPTR_SLP_FORM, "OPOS_EFPTR_SLP_FORM"},
    {OPOS_EFPTR_MISSING_DEVICES, "OPOS_EFPTR_MISSING_DEVICES"},
    {OPOS_EFPTR_WRONG_STATE, "OPOS_EFPTR_WRONG_STATE"},
    {OPOS_EFPTR_TECHNICAL_ASSISTANCE, "OPOS_EFPTR_TECHNICAL_ASSISTANCE"},
    {OPOS_EFPTR_CLOCK_ERROR, "OPOS_EFPTR_CLOCK_ERROR"},
    {OPOS_EFPTR_MEMORY_FULL, "OPOS_EFPTR_MEMORY_FULL"},
    {OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED, "OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED"},
    {OPOS_EFPTR_FISCAL_TOTALS_ERROR, "OPOS_EFPTR_FISCAL_TOTALS_ERROR"},
    {OPOS_EFPTR_BAD_ITEM_QUANTITY, "OPOS_EFPTR_BAD_ITEM_QUANTITY"},
    {OPOS_EFPTR_BAD_ITEM_AMOUNT, "OPOS_EFPTR_BAD_ITEM_AMOUNT"},
    {OPOS_EFPTR_BAD_ITEM_DESCRIPTION, "OPOS_EFPTR_BAD_ITEM_DESCRIPTION"},
    {OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW, "OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW"},
    {OPOS_EFPTR_BAD_VAT, "OPOS_EFPTR_BAD_VAT"},
    {OPOS_EFPTR_BAD_PRICE, "OPOS_EFPTR_BAD_PRICE"},
    {OPOS_EFPTR_BAD_DATE, "OPOS_EFPTR_BAD_DATE"},
    {OPOS_EFPTR_NEGATIVE_TOTAL, "OPOS_EFPTR_NEGATIVE_TOTAL"},
    {OPOS_EFPTR_WORD_NOT_ALLOWED, "OPOS_EFPTR_WORD_NOT_ALLOWED"},
};

constexpr CodeName kPrinterStateNames[] = {
    {kPrinterMonitor, "Monitor"},
    {kPrinterFiscalReceipt, "FiscalReceipt"},
    {kPrinterFiscalReceiptTotal, "FiscalReceiptTotal"},
    {kPrinterFiscalReceiptEnding, "FiscalReceiptEnding"},
    {kPrinterFiscalDocument, "FiscalDocument"},
    {kPrinterFixedOutput, "FixedOutput"},
    {kPrinterItemList, "ItemList"},
    {kPrinterLocked, "Locked"},
    {kPrinterNonFiscal, "NonFiscal"},
    {kPrinterReport, "Report"},
};

// Returns the name of a value in a table, or nullptr for a value it lacks.
template <unsigned N>
constexpr const char* FindCodeName(const CodeName (&table)[N], long value) {
  for (const CodeName& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

// "OPOS_E_CLOSED" for 101; nullptr for a value that is no result code.
constexpr const char* ResultCodeName(long code) {
  return FindCodeName(kResultCodeNames, code);
}
// "OPOS_EFPTR_COVER_OPEN" for 201; nullptr outside 201..221.
constexpr const char* ExtendedCodeName(long code) {
  return FindCodeName(kExtendedCodeNames, code);
}
// "Monitor" for 1; nullptr outside 1..10.
constexpr const char* PrinterStateName(long state) {
  return FindCodeName(kPrinterStateNames, state);
}

}  // namespace opos
