// Resource identifiers of Kerunel.ocx, read by the resource script and by
// the code that loads them.
#pragma once

#define IDB_KERUNEL_TOOLBOX 1   // 16 x 15 toolbox bitmap
#define IDB_KERUNEL_DESIGN 201  // 32 x 31 picture drawn at design time
#define IDI_KERUNEL 1           // 32 x 32 and 16 x 16 icon

#define IDD_KERUNEL_ABOUT 1
#define IDD_KERUNEL_PROPPAGE 200

#define IDS_KERUNEL_CONTROL_TYPE 1   // type name of the control
#define IDS_KERUNEL_PROPPAGE_TYPE 2  // type name of the property page
#define IDS_KERUNEL_PROPPAGE_TITLE 200

// Controls of the two dialogs.
#define IDC_KERUNEL_DESCRIPTION 203
#define IDC_KERUNEL_VERSION 204  // property page: "1.0"; about box: the web line
#define IDC_KERUNEL_VERSION_LABEL 205
#define IDC_KERUNEL_RELEASE 206
#define IDC_KERUNEL_WEB 207
