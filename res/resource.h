// Every resource ID of QVSCliUpdate. Used by the .rc file and by the code.
#pragma once

// Icons
#define IDR_MAINFRAME 129

// Dialog templates
#define IDD_SELDIR 26
#define IDD_QVSCLIUPDATE_DIALOG 102
#define IDD_STATUS 532

// Hot-update dialog controls (OK is IDOK, Cancel is IDCANCEL)
#define IDC_RUN 3
#define IDC_LOG 1000

// Status popup controls
#define IDC_STATUS_FRAME 1949
#define IDC_STATUS_TITLE 1561
#define IDC_STATUS_TEXT 1560

// Directory chooser controls: the IDs the old-style file dialog expects
#define IDC_SELDIR_FILENAME_LABEL 1090
#define IDC_SELDIR_FILENAME 1152
#define IDC_SELDIR_FILES 1120
#define IDC_SELDIR_DIRS_LABEL 2361
#define IDC_SELDIR_CURRENT_DIR 1088
#define IDC_SELDIR_DIRS 1121
#define IDC_SELDIR_TYPES_LABEL 1089
#define IDC_SELDIR_TYPES 1136
#define IDC_SELDIR_DRIVES_LABEL 1091
#define IDC_SELDIR_DRIVES 1137
#define IDC_SELDIR_HELP 1038
#define IDC_SELDIR_READONLY 1040

// String table
#define IDS_TIMESTAMP_PATTERN 2
#define IDS_DAY_SUNDAY 7 // 7-13: Sunday to Saturday
#define IDS_MONTH_JANUARY 14 // 14-25: January to December
#define IDS_EVENTLOG_OPEN_FAILED 27
#define IDS_EVENTLOG_CAPTION 28
#define IDS_SAVING_TO 33
#define IDS_ERROR 34
#define IDS_COPYING 35
#define IDS_READING_DIRECTORY 37
#define IDS_DATETIME_PATTERN 38
#define IDS_NOT_RELEASE_FILE 39

// The window message on which the hot-update dialog starts QVS.exe and closes.
#define WM_LAUNCH_CLIENT (WM_USER + 2)
