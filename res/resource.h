#pragma once
// Resource identifiers shared by pelmora.rc and the Windows front-end.

#define PELMORA_MAIN_DIALOG 100
#define PELMORA_PROGRAM_ICON 100
#define PELMORA_TRAY_ICON 200

#define PELMORA_UNIT_TEXT 101
#define PELMORA_PROGRESS_BAR 102
#define PELMORA_INFO_GROUP 103
#define PELMORA_PERCENT_LABEL 104
#define PELMORA_CREDITS_LINE 105
#define PELMORA_COUNTERS_TEXT 106

// The message the tray icon sends the dialog (WM_USER + 1); the tests' probe
// posts it too.
#define PELMORA_TRAY_MESSAGE 0x0401
