// The stored layout of the main window: one row per component with its
// kind, parent, caption or initial text, place, font, colour and handler.
// The window is built from this table and from nothing else.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vostrik {

class TMainForm;

// Component identifiers; they are also the child windows' control ids.
// clang-format off
namespace c {
enum Id : int {
  MainForm = 0,
  bOpen = 100, eResultCode, bClose, bClaim, bEnable, bDisable, bRelease,
  Panel1, eFlash, Label7, Label1, eEvent, Label2, eEvP1, Label4, eEvP2, Label5, eEvP3, Label6,
  eEvP4,
  Panel2, Label8, bSend, Label9, eCommand, Label10, epData, Label11, epString, Label12, eDataAns,
  Label13, eStringAns,
  GroupBox1, cCheckHealth, Label14, eCHLevel, Label15, eCHText, bAbout,
  Panel3, Label16, eResultCodeExtended, Label3, lbTMA, eStatus, Label24, eNotify,
  Panel4, Label23, Label17, e1, Label18, e2, Label19, e3, Label20, e4, Label21, e5, Label22, e6,
  GroupBox7, bUnFreezeEv, bFreezeEv, bSetBC0, bSetBC1, bSetBC2,
  GroupBox2, sbSetStoreFiscalID, sbSetPOSID, sbSetDate, sbSetHeaderLine, sbSetVatValue,
  sbSetTrailerLine, sbSetVatTable,
  GroupBox3, sbBeginFiscalReceipt, sbEndFiscalReceipt, sbPrintDuplicateReceipt, sbPrintRecItem,
  sbPrintRecMessage, sbPrintRecItemAdjustment, sbPrintRecNotPaid, sbPrintRecVoid,
  sbPrintRecRefund, sbPrintRecVoidItem, sbPrintRecTotal, sbPrintRecSubtotal,
  sbPrintRecSubtotalAdjustment,
  GroupBox4, SpeedButton27, SpeedButton28, SpeedButton29,
  GroupBox5, SpeedButton30, SpeedButton31, sbVerifyItem,
  GroupBox6, sbPeriodicTotals, sbPowerLoss, sbReport, sbXReport, sbZReport,
  GroupBox8, SpeedButton38, SpeedButton41, SpeedButton39, SpeedButton40,
  GroupBox9, sbBeginTraining, sbEndTraining, SpeedButton42, SpeedButton43, sbBeginNonFiscal,
  sbEndNonFiscal, SpeedButton48, sbPrintNormal,
  GroupBox10, sbGetData, sbGetDate, sbGetTotalizer, sbGetVatEntry,
  GroupBox11, sbClearError, sbResetPrinter,
  eLDN, Kerunel1, Label25,
};
}  // namespace c
// clang-format on

enum class Kind : uint8_t {
  kButton,       // push button, takes the focus
  kSpeedButton,  // push button that never keeps the focus
  kEdit,
  kLabel,      // one line, left aligned
  kWrapLabel,  // word-wrapped
  kTitle,      // centred title along a panel's top edge
  kPanel,      // raised panel with a centred caption
  kGroupBox,
  kOleControl,  // the hosted control's own window
};

enum class FontId : uint8_t {
  kForm,   // "MS Sans Serif", 8 point
  kSmall,  // "Small Fonts", 7 point, ANSI character set
};

// A component's own background instead of its kind's.
constexpr COLORREF kKindColour = CLR_INVALID;
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);

using Handler = void (TMainForm::*)(c::Id);

struct Component {
  c::Id id;
  const char* name;
  Kind kind;
  c::Id parent;  // c::MainForm: the window itself
  const wchar_t* text;
  int left, top, width, height;  // pixels at 96 dpi; width 0: fitted to the text
  FontId font;
  COLORREF colour;
  Handler handler;  // click for buttons, text change for edits
};

// The window itself.
inline constexpr wchar_t kFormClass[] = L"TMainForm";
inline constexpr wchar_t kFormCaption[] = L"Programma per il test del driver fiscale Pelmora";
constexpr int kFormClientWidth = 729;
constexpr int kFormClientHeight = 418;

// Every component, parents before their children; top-level components in
// the window's focus order.
extern const Component kLayout[];
extern const size_t kLayoutCount;

// The row of a component, or nullptr.
const Component* FindComponent(int id);

// The stored state of the hosted control: version 1.0, extent 847 x 847
// HIMETRIC (32 x 32 pixels), no stock properties.
extern const BYTE kKerunel1State[16];

}  // namespace vostrik
