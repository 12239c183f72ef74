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
// Texts of the update run (%1, %2: the parts given with them)
#define IDS_CANNOT_FIND_MODULE 100 // %1 module
#define IDS_EVENTLOG_NOT_OPENED 101
#define IDS_NO_INSTALLATION_ROOT 102 // %1 program folder
#define IDS_START_FAILED 103
#define IDS_RUN_NOT_FINISHED 104
#define IDS_RUN_STOPPED 105
#define IDS_NOT_COPIED 106 // %1 source, %2 why
#define IDS_REFUSED_NO_ROOT 107
#define IDS_REFUSED_NOT_PLAIN 108 // %1 name
#define IDS_REFUSED_DEVICE 109 // %1 name
#define IDS_REFUSED_OUTSIDE 110 // %1 folder, %2 installation
#define IDS_REFUSED_NO_BACKSLASH 111 // %1 folder
#define IDS_LOCK_TIMEOUT 112 // %1 minutes
#define IDS_RETRIES_SPENT 113 // %1 release list time, %2 runs
#define IDS_RELEASE_NOT_ANSWERING 114 // %1 folder, %2 seconds
#define IDS_POPUP_TEXT 115 // %1 time, %2 message, %3 file, %4 line
#define IDS_POPUP_CAPTION 116
#define IDS_RECORD_MISSING 117 // %1 release folder
#define IDS_RECORD_OTHER_LIST 118 // %1 record
#define IDS_RECORD_UNREADABLE 119 // %1 record, %2 why
#define IDS_NOT_RELEASE_FILE 39 // %1 source
#define IDS_CHANGED_WHILE_COPIED 120 // %1 source
#define IDS_RELEASE_STALLED 121 // %1 folder, %2 file, %3 seconds
// The install: a release whole or not at all (lib/ReleaseInstall, lib/InstallSwitch)
#define IDS_INSTALL_NO_SPACE 180 // %1 bytes needed, %2 folder, %3 bytes free
#define IDS_INSTALL_NOT_SWITCHED 181 // %1 file, %2 why
#define IDS_INSTALL_HELD_BY 182 // %1 file, %2 why, %3 programs holding it
#define IDS_INSTALL_NOT_PUT_BACK 183 // %1 file, %2 why
#define IDS_INSTALL_COMPLETED 184
#define IDS_INSTALL_PUT_BACK 185
#define IDS_INSTALL_JOURNAL_UNREADABLE 186 // %1 journal
// Files built from their installed versions' blocks (lib/DeltaCopy), and the bytes read
#define IDS_BLOCKS_NOT_RELEASE 190 // %1 source
#define IDS_BLOCK_INDEX_REFUSED 191 // %1 index, %2 source
#define IDS_BLOCK_INDEX_UNREADABLE 192 // %1 index, %2 why, %3 source
#define IDS_BYTES_READ 193 // %1 bytes of the copied files, %2 bytes read from the share
// Sizes a release's list and record may have before anything of them is trusted
#define IDS_LIST_TOO_LARGE 187 // %1 list, %2 its bytes, %3 the limit
#define IDS_RECORD_TOO_LARGE 188 // %1 the limit
// Texts of the desktop report and the directory chooser
#define IDS_REPORT_NOT_ANSWERING 150 // %1 report folder, %2 seconds
#define IDS_REPORT_NOT_WRITTEN 151 // %1 report folder, %2 why
#define IDS_SELDIR_TITLE 152
// Signed releases (lib/ReleaseTrust): %1 the release folder unless said otherwise
// (%2 of BAD_RELEASE_KEY, NO_RECORD, NOT_SIGNED and %3 of RECORD_UNREADABLE: where the
// ReleaseKey in force came from, IDS_SOURCE_*)
#define IDS_TRUST_BAD_RELEASE_KEY 130
#define IDS_TRUST_BAD_OWN_KEY 131 // %1 key, %2 folder
#define IDS_TRUST_NO_RECORD 132
#define IDS_TRUST_RECORD_UNREADABLE 133 // %2 why
#define IDS_TRUST_OTHER_LIST 134
#define IDS_TRUST_NOT_SIGNED 135
#define IDS_TRUST_OTHER_KEY 136 // %2 signer's key id, %3 trusted key id
#define IDS_TRUST_BAD_SIGNATURE 137
#define IDS_TRUST_OLDER 138 // %2 release number, %3 installed number
#define IDS_TRUST_UNNAMED_FILE 139 // %2 file
#define IDS_TRUST_ACCEPTED 140 // %2 release number, %3 key id
#define IDS_TRUST_ACCEPTED_NEXT_KEY 141 // %2 release number, %3 key id, %4 next key id
#define IDS_TRUST_STAMP_AHEAD 142 // %2 file, %3 its stamp
// Settings in force and policy (lib/Policy)
#define IDS_SOURCE_MACHINE_POLICY 160 // %1 key path
#define IDS_SOURCE_USER_POLICY 161 // %1 key path
#define IDS_SETTINGS_IN_FORCE 162 // %1, %2: IDS_SETTING_FROM or IDS_SETTING_NOT_SET
#define IDS_SETTING_FROM 163 // %1 name, %2 source
#define IDS_SETTING_NOT_SET 164 // %1 name
#define IDS_UPDATES_DISABLED 165 // %1 source
#define IDS_POLICY_IGNORED 166 // %1 value name, %2 key path, %3 why
#define IDS_POLICY_NOT_TEXT 167
#define IDS_POLICY_NOT_NUMBER 168
#define IDS_POLICY_OUT_OF_RANGE 169 // %1 number, %2 lowest, %3 highest
#define IDS_POLICY_TOO_LONG 170 // %1 characters

// The window message on which the hot-update dialog starts QVS.exe and closes.
#define WM_LAUNCH_CLIENT (WM_USER + 2)
