// Identifiers of the Kerunel control: type library, interfaces, classes.
// Read by the interface definition (the bare uuid texts) and by C++ (the
// GUID constants); the type library test checks that both agree.
#pragma once

// clang-format off
#define KERUNEL_LIBID_UUID 8EE20050-3975-11D5-8515-00304F03B28E
#define KERUNEL_DISPATCH_IID_UUID 8EE20051-3975-11D5-8515-00304F03B28E
#define KERUNEL_EVENTS_IID_UUID 8EE20052-3975-11D5-8515-00304F03B28E
#define KERUNEL_CONTROL_CLSID_UUID 8EE20053-3975-11D5-8515-00304F03B28E
#define KERUNEL_PROPPAGE_CLSID_UUID 8EE20054-3975-11D5-8515-00304F03B28E
// clang-format on

#ifndef __WIDL__
#include <guiddef.h>

namespace kr {

inline constexpr GUID kLibId = {
    0x8EE20050, 0x3975, 0x11D5, {0x85, 0x15, 0x00, 0x30, 0x4F, 0x03, 0xB2, 0x8E}};
inline constexpr GUID kDispatchIid = {
    0x8EE20051, 0x3975, 0x11D5, {0x85, 0x15, 0x00, 0x30, 0x4F, 0x03, 0xB2, 0x8E}};
inline constexpr GUID kEventsIid = {
    0x8EE20052, 0x3975, 0x11D5, {0x85, 0x15, 0x00, 0x30, 0x4F, 0x03, 0xB2, 0x8E}};
inline constexpr GUID kControlClsid = {
    0x8EE20053, 0x3975, 0x11D5, {0x85, 0x15, 0x00, 0x30, 0x4F, 0x03, 0xB2, 0x8E}};
inline constexpr GUID kPropPageClsid = {
    0x8EE20054, 0x3975, 0x11D5, {0x85, 0x15, 0x00, 0x30, 0x4F, 0x03, 0xB2, 0x8E}};

inline constexpr unsigned short kLibVersionMajor = 1;
inline constexpr unsigned short kLibVersionMinor = 0;

inline constexpr wchar_t kControlProgId[] = L"KERUNEL.KerunelCtrl.1";
inline constexpr wchar_t kPropPageProgId[] = L"KERUNEL.KerunelPropPage.1";

}  // namespace kr
#endif
