#pragma once
// Ids of the dialog templates and their controls, for both windows; plain defines, as windres
// reads them.
#define IDD_ABOUTBOX 100
#define IDD_LUMO_UPDATOR_DIALOG 103
#define IDR_MAINFRAME 128
#ifndef IDOK
#define IDOK 1  // Execute, the default button; OK of the About box
#endif
#ifndef IDCANCEL
#define IDCANCEL 2  // Exit
#endif
#define IDC_STATIC (-1)
#define IDC_IN_LIST 1000
#define IDC_OUT_LIST 1001
#define IDC_PROGRESS 1002
#define IDC_STATUS_TEXT 1003
#define IDC_RESCAN_DEVICE 1004
#define IDC_PICTURE 1005
#define IDC_STEP_TEXT 1006
#define IDC_ABOUT_TITLE 1003
#define IDC_ABOUT_DIGESTS 1004
#define IDC_ABOUT_LOGS 1005
