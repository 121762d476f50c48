// Control identifiers of the settings window.
#pragma once

#define IDD_SETTINGS 100
#define IDC_HOSTDIR 1001
#define IDC_RELOAD 1002
#define IDC_WHICH 1003
#define IDC_REPLACED 1004
#define IDC_PORT 1010
#define IDC_REFRESH 1011
#define IDC_WIDTH 1012
#define IDC_HEIGHT 1013
#define IDC_PORTNOTE 1014
#define IDC_DLL 1015
#define IDC_TRY 1020
#define IDC_REPORT 1030
// One of each per key, in the driver's key order.
#define IDC_KEY0 1100
#define IDC_INFO0 1200
