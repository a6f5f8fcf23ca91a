#include "form_layout.h"

#include "main_form.h"

namespace vostrik {
namespace {

using K = Kind;
constexpr FontId F = FontId::kForm;
constexpr COLORREF D = kKindColour;
constexpr Handler kClick = &TMainForm::ButtonClick;

// clang-format off
#define ROW(id, kind, parent, text, l, t, w, h, font, colour, handler) \
  {c::id, #id, K::kind, c::parent, text, l, t, w, h, font, colour, handler}
#define BUTTON(id, parent, text, l, t, w, h) ROW(id, kButton, parent, text, l, t, w, h, F, D, kClick)
#define SPEED(id, parent, text, l, t, w) ROW(id, kSpeedButton, parent, text, l, t, w, 22, F, D, kClick)
#define EDIT(id, parent, text, l, t, w, h) ROW(id, kEdit, parent, text, l, t, w, h, F, D, nullptr)
#define LABEL(id, parent, text, l, t, w, h) ROW(id, kLabel, parent, text, l, t, w, h, F, D, nullptr)
#define BOX(id, kind, text, l, t, w, h) ROW(id, kind, MainForm, text, l, t, w, h, F, D, nullptr)

}  // namespace

const Component kLayout[] = {
    BUTTON(bOpen, MainForm, L"Open", 192, 0, 81, 25),
    ROW(eResultCode, kEdit, MainForm, L"Last Result Code", 368, 32, 169, 21, F, D,
        &TMainForm::eResultCodeChange),
    BUTTON(bClose, MainForm, L"Close", 192, 32, 81, 25),
    BUTTON(bClaim, MainForm, L"Claim", 280, 0, 81, 25),
    BUTTON(bEnable, MainForm, L"Enable", 368, 0, 83, 25),
    BUTTON(bDisable, MainForm, L"Disable", 456, 0, 83, 25),
    BUTTON(bRelease, MainForm, L"Release", 280, 32, 83, 25),

    // Event panel. eFlash lies over the title's left end and stays on top.
    BOX(Panel1, kPanel, L"", 544, 272, 185, 146),
    ROW(eFlash, kEdit, Panel1, L"0", 8, 8, 17, 19, FontId::kSmall, D, nullptr),
    ROW(Label7, kTitle, Panel1, L"Eventi Gestiti", 1, 1, 183, 13, F, D, nullptr),
    LABEL(Label1, Panel1, L"Event Type", 1, 36, 0, 13),
    EDIT(eEvent, Panel1, L"Tipo evento", 63, 28, 121, 21),
    LABEL(Label2, Panel1, L"Data 1", 7, 56, 0, 13),
    EDIT(eEvP1, Panel1, L"Primo parametro", 63, 52, 121, 21),
    LABEL(Label4, Panel1, L"Data 2", 7, 80, 0, 13),
    EDIT(eEvP2, Panel1, L"Secondo parametro", 63, 76, 121, 21),
    LABEL(Label5, Panel1, L"Data 3", 7, 104, 0, 13),
    EDIT(eEvP3, Panel1, L"Terzo parametro", 63, 100, 121, 21),
    LABEL(Label6, Panel1, L"Data 4", 7, 128, 0, 13),
    EDIT(eEvP4, Panel1, L"Quarto parametro", 63, 124, 121, 21),

    // DirectIO panel.
    BOX(Panel2, kPanel, L"", 544, 32, 185, 161),
    LABEL(Label8, Panel2, L"DirectIO", 16, 8, 39, 13),
    BUTTON(bSend, Panel2, L"Send", 80, 8, 75, 17),
    LABEL(Label9, Panel2, L"Command", 8, 40, 0, 13),
    EDIT(eCommand, Panel2, L"3", 64, 32, 121, 21),
    LABEL(Label10, Panel2, L"pData", 8, 64, 0, 13),
    EDIT(epData, Panel2, L"2048", 64, 56, 121, 21),
    LABEL(Label11, Panel2, L"pString", 8, 88, 0, 13),
    EDIT(epString, Panel2, L"StringToSend ", 64, 80, 121, 21),
    LABEL(Label12, Panel2, L"pDataAns", 8, 112, 0, 13),
    EDIT(eDataAns, Panel2, L"Answer Long", 64, 104, 121, 21),
    LABEL(Label13, Panel2, L"pStringAns", 8, 136, 0, 13),
    EDIT(eStringAns, Panel2, L"Answer String", 64, 128, 121, 21),

    // CheckHealth box.
    BOX(GroupBox1, kGroupBox, L"CheckHealt", 544, 200, 185, 65),
    BUTTON(cCheckHealth, GroupBox1, L"Check", 40, 16, 41, 17),
    LABEL(Label14, GroupBox1, L"Level", 88, 16, 0, 13),
    EDIT(eCHLevel, GroupBox1, L"0", 120, 16, 17, 21),
    LABEL(Label15, GroupBox1, L"Text", 8, 24, 0, 13),
    EDIT(eCHText, GroupBox1, L"", 8, 40, 129, 21),
    BUTTON(bAbout, GroupBox1, L"About", 144, 16, 35, 41),

    // Status panel.
    BOX(Panel3, kPanel, L"", 0, 182, 185, 131),
    LABEL(Label16, Panel3, L"Properties ResultCodeExtended", 24, 4, 150, 13),
    ROW(eResultCodeExtended, kEdit, Panel3, L"", 8, 20, 177, 21, F, D,
        &TMainForm::eResultCodeExtendedChange),
    ROW(Label3, kWrapLabel, Panel3, L"Printer Status", 40, 48, 63, 13, F, D, nullptr),
    ROW(lbTMA, kWrapLabel, Panel3, L"TMA", 160, 48, 23, 13, F, kRed, nullptr),
    EDIT(eStatus, Panel3, L"PrinterStatus", 8, 60, 177, 21),
    LABEL(Label24, Panel3, L"Notify", 8, 88, 27, 13),
    EDIT(eNotify, Panel3, L"", 8, 104, 177, 21),

    // Parameter panel; its caption "0" lies under the fields.
    BOX(Panel4, kPanel, L"0", 0, 8, 185, 169),
    ROW(Label23, kTitle, Panel4, L"Function Parameters", 1, 1, 183, 13, F, D, nullptr),
    LABEL(Label17, Panel4, L"1", 8, 32, 6, 13),
    EDIT(e1, Panel4, L"0", 24, 24, 161, 21),
    LABEL(Label18, Panel4, L"2", 9, 56, 6, 13),
    EDIT(e2, Panel4, L"0", 24, 48, 161, 21),
    LABEL(Label19, Panel4, L"3", 8, 80, 6, 13),
    EDIT(e3, Panel4, L"0", 24, 72, 161, 21),
    LABEL(Label20, Panel4, L"4", 8, 104, 6, 13),
    EDIT(e4, Panel4, L"0", 24, 96, 161, 21),
    LABEL(Label21, Panel4, L"5", 8, 128, 6, 13),
    EDIT(e5, Panel4, L"0", 24, 120, 161, 21),
    LABEL(Label22, Panel4, L"6", 8, 152, 6, 13),
    EDIT(e6, Panel4, L"0", 24, 144, 161, 21),

    BOX(GroupBox7, kGroupBox, L"Settable Properties", 0, 320, 185, 97),
    BUTTON(bUnFreezeEv, GroupBox7, L"Unfreeze Events", 8, 40, 81, 25),
    BUTTON(bFreezeEv, GroupBox7, L"Freeze Events", 8, 64, 81, 25),
    BUTTON(bSetBC0, GroupBox7, L"Set BC NONE", 96, 16, 81, 25),
    BUTTON(bSetBC1, GroupBox7, L"Set BC NIBBLE", 96, 40, 81, 25),
    BUTTON(bSetBC2, GroupBox7, L"Set BC DECIMAL", 96, 64, 81, 25),

    BOX(GroupBox2, kGroupBox, L"Presetting Fiscal", 192, 64, 169, 89),
    SPEED(sbSetStoreFiscalID, GroupBox2, L"StoreFiscalID", 8, 16, 73),
    SPEED(sbSetPOSID, GroupBox2, L"POSID", 88, 16, 33),
    SPEED(sbSetDate, GroupBox2, L"Date", 128, 16, 33),
    SPEED(sbSetHeaderLine, GroupBox2, L"SetHeaderLine", 8, 40, 73),
    SPEED(sbSetVatValue, GroupBox2, L"SetVatValue", 88, 40, 73),
    SPEED(sbSetTrailerLine, GroupBox2, L"SetTrailerLine", 8, 64, 73),
    SPEED(sbSetVatTable, GroupBox2, L"SetVatTable", 88, 64, 73),

    BOX(GroupBox3, kGroupBox, L"Fiscal Receipt", 368, 64, 169, 185),
    SPEED(sbBeginFiscalReceipt, GroupBox3, L"Begin", 8, 16, 73),
    SPEED(sbEndFiscalReceipt, GroupBox3, L"End", 88, 16, 73),
    SPEED(sbPrintDuplicateReceipt, GroupBox3, L"P Duplicate", 8, 40, 73),
    SPEED(sbPrintRecItem, GroupBox3, L"P RecItem", 88, 40, 73),
    SPEED(sbPrintRecMessage, GroupBox3, L"P RecMess.", 8, 64, 73),
    SPEED(sbPrintRecItemAdjustment, GroupBox3, L"P RecItemA.", 88, 64, 73),
    SPEED(sbPrintRecNotPaid, GroupBox3, L"P RecNotPaid", 8, 88, 73),
    SPEED(sbPrintRecVoid, GroupBox3, L"P RecVoid", 88, 88, 73),
    SPEED(sbPrintRecRefund, GroupBox3, L"P RecRefund", 8, 112, 73),
    SPEED(sbPrintRecVoidItem, GroupBox3, L"P RecVoidI.", 88, 112, 73),
    SPEED(sbPrintRecTotal, GroupBox3, L"P RecTotal", 8, 136, 73),
    SPEED(sbPrintRecSubtotal, GroupBox3, L"P RecSubt.", 88, 136, 73),
    SPEED(sbPrintRecSubtotalAdjustment, GroupBox3, L"P RecSubtotalAdjustment", 8, 160, 153),

    BOX(GroupBox4, kGroupBox, L"Fiscal Document", 192, 216, 169, 41),
    SPEED(SpeedButton27, GroupBox4, L"Begin", 8, 16, 41),
    SPEED(SpeedButton28, GroupBox4, L"End", 56, 16, 33),
    SPEED(SpeedButton29, GroupBox4, L"P Doc.Line", 96, 16, 63),

    BOX(GroupBox5, kGroupBox, L"Item Lists", 192, 256, 169, 41),
    SPEED(SpeedButton30, GroupBox5, L"Begin", 8, 16, 41),
    SPEED(SpeedButton31, GroupBox5, L"End", 56, 16, 41),
    SPEED(sbVerifyItem, GroupBox5, L"Verify", 104, 16, 55),

    BOX(GroupBox6, kGroupBox, L"Fiscal Reports", 192, 152, 169, 65),
    SPEED(sbPeriodicTotals, GroupBox6, L"PeriodicTotals", 8, 16, 73),
    SPEED(sbPowerLoss, GroupBox6, L"PowerLoss", 88, 16, 73),
    SPEED(sbReport, GroupBox6, L"Report", 8, 40, 41),
    SPEED(sbXReport, GroupBox6, L"XReport", 56, 40, 49),
    SPEED(sbZReport, GroupBox6, L"ZReport", 112, 40, 47),

    BOX(GroupBox8, kGroupBox, L"Slip Insertion", 368, 248, 169, 65),
    SPEED(SpeedButton38, GroupBox8, L"Begin Ins.", 8, 16, 73),
    SPEED(SpeedButton41, GroupBox8, L"Begin Rem.", 88, 16, 73),
    SPEED(SpeedButton39, GroupBox8, L"End Ins.", 8, 40, 73),
    SPEED(SpeedButton40, GroupBox8, L"End Rem.", 88, 40, 73),

    BOX(GroupBox9, kGroupBox, L"Non Fiscal", 192, 296, 169, 121),
    SPEED(sbBeginTraining, GroupBox9, L"BeginTraining", 8, 16, 73),
    SPEED(sbEndTraining, GroupBox9, L"EndTraining", 88, 16, 73),
    SPEED(SpeedButton42, GroupBox9, L"BeginFixedO.", 8, 40, 73),
    SPEED(SpeedButton43, GroupBox9, L"EndFixedO.", 88, 40, 73),
    SPEED(sbBeginNonFiscal, GroupBox9, L"BeginNonFis.", 8, 64, 73),
    SPEED(sbEndNonFiscal, GroupBox9, L"EndNonFis.", 88, 64, 73),
    SPEED(SpeedButton48, GroupBox9, L"PrintFixedO.", 8, 88, 73),
    SPEED(sbPrintNormal, GroupBox9, L"PrintNormal", 88, 88, 73),

    BOX(GroupBox10, kGroupBox, L"Data Request", 368, 320, 169, 49),
    SPEED(sbGetData, GroupBox10, L"Data", 8, 16, 33),
    SPEED(sbGetDate, GroupBox10, L"Date", 48, 16, 31),
    SPEED(sbGetTotalizer, GroupBox10, L"Tot.", 88, 16, 31),
    SPEED(sbGetVatEntry, GroupBox10, L"VatE.", 128, 16, 31),

    BOX(GroupBox11, kGroupBox, L"Error Correction", 368, 376, 169, 41),
    SPEED(sbClearError, GroupBox11, L"Clear Error", 8, 16, 73),
    SPEED(sbResetPrinter, GroupBox11, L"Reset Printer", 88, 16, 73),

    EDIT(eLDN, MainForm, L"ZV_FPrinter", 576, 0, 153, 21),
    ROW(Kerunel1, kOleControl, MainForm, L"", 392, 16, 32, 32, F, D, nullptr),
    LABEL(Label25, MainForm, L"LDN", 544, 8, 22, 13),
};

#undef ROW
#undef BUTTON
#undef SPEED
#undef EDIT
#undef LABEL
#undef BOX
// clang-format on

const size_t kLayoutCount = sizeof(kLayout) / sizeof(kLayout[0]);

const Component* FindComponent(int id) {
  for (const Component& component : kLayout) {
    if (component.id == id) return &component;
  }
  return nullptr;
}

const BYTE kKerunel1State[16] = {
    0x00, 0x00, 0x01, 0x00,  // version 1.0
    0x4F, 0x03, 0x00, 0x00,  // extent width 847
    0x4F, 0x03, 0x00, 0x00,  // extent height 847
    0x00, 0x00, 0x00, 0x00,  // no stock properties
};

}  // namespace vostrik
