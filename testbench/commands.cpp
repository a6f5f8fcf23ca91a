// The commands of the window: one row per button, saying which fields it
// reads and how, which call it makes on Kerunel1, where returned values go
// and what it shows afterwards. One runner carries out every row.
#include <cstdint>

#include "field_conversion.h"
#include "main_form.h"

namespace vostrik {
namespace {

// How a field's text becomes an argument.
enum class Conv : uint8_t {
  kInteger,    // whole signed 32-bit number
  kTruncated,  // decimal number, truncated toward zero
  kCurrency,   // integer taken as the raw currency value
  kString,
  kFirstChar,  // code of the first character, 0 for an empty field
  kLongRef,    // by reference, starting from the field as an integer (0 without one)
  kStringRef,  // by reference, starting from the field's text (empty without one)
};

struct Param {
  c::Id field;  // c::MainForm: no field
  Conv conv;
  c::Id writeBack;  // where the value goes after the call; c::MainForm: nowhere
  LONG constant;    // the value of an integer without a field
};

constexpr Param In(c::Id field, Conv conv) {
  return {field, conv, c::MainForm, 0};
}
constexpr Param Fixed(LONG value) {
  return {c::MainForm, Conv::kInteger, c::MainForm, value};
}
constexpr Param Out(c::Id field, Conv conv, c::Id writeBack) {
  return {field, conv, writeBack, 0};
}

enum class Call : uint8_t { kMethod, kProcedure, kPutBool, kPutLong };

// What the window shows after the call.
enum class Show : uint8_t {
  kNothing,
  kResult,           // ShowResultCode
  kResultState,      // ShowResultCode, RefreshPrinterState
  kLastResult,       // ShowLastResultCode
  kLastResultState,  // ShowLastResultCode, RefreshPrinterState
  kHealth,           // the bare number in eResultCode, CheckHealthText in eCHText
};

struct Command {
  c::Id button;
  Call call;
  DISPID dispid;
  LONG value;  // written by kPutBool / kPutLong
  Show show;
  uint8_t count;
  Param params[kMaxTlbParams];
};

template <typename... P>
constexpr Command Method(c::Id button, DISPID dispid, Show show, P... params) {
  return Command{button, Call::kMethod, dispid, 0, show, sizeof...(P), {params...}};
}
constexpr Command Put(c::Id button, Call call, DISPID dispid, LONG value, Show show) {
  return Command{button, call, dispid, value, show, 0, {}};
}

constexpr Conv I = Conv::kInteger;
constexpr Conv T = Conv::kTruncated;
constexpr Conv M = Conv::kCurrency;
constexpr Conv S = Conv::kString;
constexpr Show kR = Show::kResult;
constexpr Show kRS = Show::kResultState;

// clang-format off
constexpr Command kCommands[] = {
    // Device lifecycle.
    Method(c::bOpen, KR_DISPID_Open, kRS, In(c::eLDN, S)),
    Method(c::bClose, KR_DISPID_Close, kRS),
    Method(c::bClaim, KR_DISPID_Claim, kR, Fixed(1000)),
    Method(c::bRelease, KR_DISPID_Release_, kRS),
    Put(c::bEnable, Call::kPutBool, KR_DISPID_DeviceEnabled, 1, Show::kLastResultState),
    Put(c::bDisable, Call::kPutBool, KR_DISPID_DeviceEnabled, 0, Show::kLastResultState),
    Put(c::bFreezeEv, Call::kPutBool, KR_DISPID_FreezeEvents, 1, Show::kLastResult),
    Put(c::bUnFreezeEv, Call::kPutBool, KR_DISPID_FreezeEvents, 0, Show::kLastResult),
    Put(c::bSetBC0, Call::kPutLong, KR_DISPID_BinaryConversion, 0, Show::kLastResult),
    Put(c::bSetBC1, Call::kPutLong, KR_DISPID_BinaryConversion, 1, Show::kLastResult),
    Put(c::bSetBC2, Call::kPutLong, KR_DISPID_BinaryConversion, 2, Show::kLastResult),
    Method(c::cCheckHealth, KR_DISPID_CheckHealth, Show::kHealth, In(c::eCHLevel, I)),
    Method(c::bSend, KR_DISPID_DirectIO, kR, In(c::eCommand, I),
           Out(c::epData, Conv::kLongRef, c::eDataAns),
           Out(c::epString, Conv::kStringRef, c::eStringAns)),
    Command{c::bAbout, Call::kProcedure, KR_DISPID_AboutBox, 0, Show::kNothing, 0, {}},
    Method(c::sbClearError, KR_DISPID_ClearError, kRS),
    Method(c::sbResetPrinter, KR_DISPID_ResetPrinter, kRS),

    // Fiscal receipt.
    Method(c::sbBeginFiscalReceipt, KR_DISPID_BeginFiscalReceipt, kRS, In(c::e1, I)),
    Method(c::sbEndFiscalReceipt, KR_DISPID_EndFiscalReceipt, kRS, In(c::e1, I)),
    Method(c::sbPrintDuplicateReceipt, KR_DISPID_PrintDuplicateReceipt, kRS),
    Method(c::sbPrintRecItem, KR_DISPID_PrintRecItem, kRS, In(c::e1, S), In(c::e2, M),
           In(c::e3, T), In(c::e4, T), In(c::e5, M), In(c::e6, S)),
    Method(c::sbPrintRecMessage, KR_DISPID_PrintRecMessage, kRS, In(c::e1, S)),
    Method(c::sbPrintRecItemAdjustment, KR_DISPID_PrintRecItemAdjustment, kRS, In(c::e1, T),
           In(c::e2, S), In(c::e3, M), In(c::e4, T)),
    Method(c::sbPrintRecNotPaid, KR_DISPID_PrintRecNotPaid, kRS, In(c::e1, S), In(c::e2, M)),
    Method(c::sbPrintRecVoid, KR_DISPID_PrintRecVoid, kRS, In(c::e1, S)),
    Method(c::sbPrintRecRefund, KR_DISPID_PrintRecRefund, kRS, In(c::e1, S), In(c::e2, M),
           In(c::e3, T)),
    Method(c::sbPrintRecVoidItem, KR_DISPID_PrintRecVoidItem, kRS, In(c::e1, S), In(c::e2, M),
           In(c::e3, T), In(c::e4, T), In(c::e5, M), In(c::e6, T)),
    Method(c::sbPrintRecTotal, KR_DISPID_PrintRecTotal, kRS, In(c::e1, M), In(c::e2, M),
           In(c::e3, S)),
    Method(c::sbPrintRecSubtotal, KR_DISPID_PrintRecSubtotal, kRS, In(c::e1, M)),
    Method(c::sbPrintRecSubtotalAdjustment, KR_DISPID_PrintRecSubtotalAdjustment, kRS,
           In(c::e1, T), In(c::e2, S), In(c::e3, M)),

    // Presetting.
    Method(c::sbSetStoreFiscalID, KR_DISPID_SetStoreFiscalID, kR, In(c::e1, S)),
    Method(c::sbSetPOSID, KR_DISPID_SetPOSID, kR, In(c::e1, S), In(c::e2, S)),
    Method(c::sbSetDate, KR_DISPID_SetDate, kR, In(c::e1, S)),
    Method(c::sbSetHeaderLine, KR_DISPID_SetHeaderLine, kR, In(c::e1, I), In(c::e2, S),
           In(c::e3, Conv::kFirstChar)),
    Method(c::sbSetTrailerLine, KR_DISPID_SetTrailerLine, kR, In(c::e1, I), In(c::e2, S),
           In(c::e3, Conv::kFirstChar)),
    Method(c::sbSetVatValue, KR_DISPID_SetVatValue, kR, In(c::e1, I), In(c::e2, S)),
    Method(c::sbSetVatTable, KR_DISPID_SetVatTable, kR),

    // Reports, item verification, non-fiscal and training.
    Method(c::sbPeriodicTotals, KR_DISPID_PrintPeriodicTotalsReport, kR, In(c::e1, S),
           In(c::e2, S)),
    Method(c::sbPowerLoss, KR_DISPID_PrintPowerLossReport, kR),
    Method(c::sbReport, KR_DISPID_PrintReport, kR, In(c::e1, I), In(c::e2, S), In(c::e3, S)),
    Method(c::sbXReport, KR_DISPID_PrintXReport, kR),
    Method(c::sbZReport, KR_DISPID_PrintZReport, kR),
    Method(c::sbVerifyItem, KR_DISPID_VerifyItem, kR, In(c::e1, S), In(c::e2, I)),
    Method(c::sbBeginTraining, KR_DISPID_BeginTraining, kRS),
    Method(c::sbEndTraining, KR_DISPID_EndTraining, kR),
    Method(c::sbBeginNonFiscal, KR_DISPID_BeginNonFiscal, kRS),
    Method(c::sbEndNonFiscal, KR_DISPID_EndNonFiscal, kRS),
    Method(c::sbPrintNormal, KR_DISPID_PrintNormal, kRS, In(c::e1, I), In(c::e2, S)),

    // Data requests: results go back into the parameter fields.
    Method(c::sbGetData, KR_DISPID_GetData, kR, In(c::e1, I), Out(c::e2, Conv::kLongRef, c::e2),
           Out(c::MainForm, Conv::kStringRef, c::e3)),
    Method(c::sbGetDate, KR_DISPID_GetDate, kR, Out(c::MainForm, Conv::kStringRef, c::e1)),
    Method(c::sbGetTotalizer, KR_DISPID_GetTotalizer, kR, In(c::e1, I), In(c::e2, I),
           Out(c::MainForm, Conv::kStringRef, c::e3)),
    Method(c::sbGetVatEntry, KR_DISPID_GetVatEntry, kR, In(c::e1, I), In(c::e2, I),
           Out(c::MainForm, Conv::kLongRef, c::e3)),

    // The buttons named after the remaining methods call them with the
    // parameter fields in the method's order; those that change what the
    // printer is doing refresh the state.
    Method(c::SpeedButton27, KR_DISPID_BeginFiscalDocument, kRS, In(c::e1, I)),
    Method(c::SpeedButton28, KR_DISPID_EndFiscalDocument, kRS),
    Method(c::SpeedButton29, KR_DISPID_PrintFiscalDocumentLine, kRS, In(c::e1, S)),
    Method(c::SpeedButton30, KR_DISPID_BeginItemList, kRS, In(c::e1, I)),
    Method(c::SpeedButton31, KR_DISPID_EndItemList, kRS),
    Method(c::SpeedButton38, KR_DISPID_BeginInsertion, kR, In(c::e1, I)),
    Method(c::SpeedButton41, KR_DISPID_BeginRemoval, kR, In(c::e1, I)),
    Method(c::SpeedButton39, KR_DISPID_EndInsertion, kR),
    Method(c::SpeedButton40, KR_DISPID_EndRemoval, kR),
    Method(c::SpeedButton42, KR_DISPID_BeginFixedOutput, kRS, In(c::e1, I), In(c::e2, I)),
    Method(c::SpeedButton43, KR_DISPID_EndFixedOutput, kRS),
    Method(c::SpeedButton48, KR_DISPID_PrintFixedOutput, kRS, In(c::e1, I), In(c::e2, I),
           In(c::e3, S)),
};
// clang-format on

// Whether a conversion yields the type the type library gives the parameter.
constexpr bool Fits(Conv conv, VARTYPE type) {
  switch (conv) {
    case Conv::kInteger:
    case Conv::kTruncated:
    case Conv::kFirstChar:
      return type == VT_I4;
    case Conv::kCurrency:
      return type == VT_CY;
    case Conv::kString:
      return type == VT_BSTR;
    case Conv::kLongRef:
      return type == (VT_BYREF | VT_I4);
    case Conv::kStringRef:
      return type == (VT_BYREF | VT_BSTR);
  }
  return false;
}

constexpr bool MatchesItsMember(const Command& command) {
  const TlbMember* m = FindKerunelMember(command.dispid);
  if (!m) return false;
  switch (command.call) {
    case Call::kPutBool:
      return m->isProperty && m->type == VT_I1;
    case Call::kPutLong:
      return m->isProperty && m->type == VT_I4;
    case Call::kProcedure:
      return !m->isProperty && m->type == VT_EMPTY && m->paramCount == command.count;
    case Call::kMethod:
      if (m->isProperty || m->type != VT_I4 || m->paramCount != command.count) return false;
      for (int i = 0; i < command.count; ++i) {
        if (!Fits(command.params[i].conv, m->params[i])) return false;
      }
      return true;
  }
  return false;
}

// The index of the first command that does not fit the control's type
// library, or -1.
constexpr int FirstMismatch() {
  int index = 0;
  for (const Command& command : kCommands) {
    if (!MatchesItsMember(command)) return index;
    ++index;
  }
  return -1;
}
static_assert(FirstMismatch() == -1, "a command's arguments do not fit its method");

const Command* FindCommand(c::Id button) {
  for (const Command& command : kCommands) {
    if (command.button == button) return &command;
  }
  return nullptr;
}

}  // namespace

void RunCommand(TMainForm& form, c::Id button) {
  const Command* command = FindCommand(button);
  if (!command) return;

  // Read and convert every field first: a conversion error stops the
  // command before anything is called or shown.
  kr::UniqueVariant values[kMaxTlbParams];
  Arg args[kMaxTlbParams];
  std::wstring separator;
  for (int i = 0; i < command->count; ++i) {
    const Param& p = command->params[i];
    const std::wstring text = p.field == c::MainForm ? std::wstring() : form.Text(p.field);
    VARIANT& v = *values[i].get();
    switch (p.conv) {
      case Conv::kInteger:
        v.vt = VT_I4;
        v.lVal = p.field == c::MainForm ? p.constant : ToInteger(text);
        args[i] = Arg::Long(v.lVal);
        break;
      case Conv::kTruncated:
        if (separator.empty()) separator = UserDecimalSeparator();
        v.vt = VT_I4;
        v.lVal = ToTruncated(text, separator);
        args[i] = Arg::Long(v.lVal);
        break;
      case Conv::kCurrency:
        v.vt = VT_CY;
        v.cyVal = ToCurrency(text);
        args[i] = Arg::Currency(v.cyVal);
        break;
      case Conv::kFirstChar:
        v.vt = VT_I4;
        v.lVal = FirstCharacterCode(text);
        args[i] = Arg::Long(v.lVal);
        break;
      case Conv::kLongRef:
        v.vt = VT_I4;
        v.lVal = p.field == c::MainForm ? 0 : ToInteger(text);
        args[i] = Arg::LongRef(&v.lVal);
        break;
      case Conv::kString:
      case Conv::kStringRef:
        v.vt = VT_BSTR;
        v.bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!v.bstrVal) throw OleError(E_OUTOFMEMORY, StatusText(E_OUTOFMEMORY));
        args[i] = p.conv == Conv::kString ? Arg::Text(v.bstrVal) : Arg::TextRef(&v.bstrVal);
        break;
    }
  }

  TKerunel& control = form.Kerunel1;
  LONG code = 0;
  form.SetCallRefused(false);
  switch (command->call) {
    case Call::kMethod:
      code = control.CallMethod(command->dispid, args, command->count);
      form.SetCallRefused(control.LastCallRefused());
      break;
    case Call::kProcedure:
      control.CallProcedure(command->dispid, args, command->count);
      break;
    case Call::kPutBool:
      control.SetBoolProp(command->dispid, command->value != 0);
      break;
    case Call::kPutLong:
      control.SetLongProp(command->dispid, command->value);
      break;
  }

  // What the control handed back is written before anything that reads
  // the control again, so a failing read cannot lose it.
  for (int i = 0; i < command->count; ++i) {
    const Param& p = command->params[i];
    if (p.writeBack == c::MainForm) continue;
    const VARIANT& v = *values[i].get();
    form.SetText(p.writeBack, v.vt == VT_BSTR ? std::wstring(v.bstrVal ? v.bstrVal : L"",
                                                             ::SysStringLen(v.bstrVal))
                                              : NumberText(v.lVal));
  }

  switch (command->show) {
    case Show::kNothing:
      break;
    case Show::kResult:
    case Show::kResultState:
      form.ShowResultCode(code);
      break;
    case Show::kLastResult:
    case Show::kLastResultState:
      form.ShowLastResultCode();
      break;
    case Show::kHealth:
      form.SetText(c::eResultCode, NumberText(code));
      form.SetText(c::eCHText, control.get_CheckHealtText());
      break;
  }
  if (command->show == Show::kResultState || command->show == Show::kLastResultState) {
    form.RefreshPrinterState();
  }
}

}  // namespace vostrik
