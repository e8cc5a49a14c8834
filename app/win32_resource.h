// Resource ids of the Windows program, shared by resources/bleepforge.rc and the shell.
// Plain #defines: the resource compiler reads this file too.
#pragma once

#define STR_TITLE 103  // window title
#define STR_HINT 106   // hint painted in the window
#define STR_CLASS 109  // window class name

#define RES_MAIN 109    // the menu and the accelerator table
#define DLG_ABOUT 103
#define ICON_MAIN 107   // class icon and the about box's picture
// windows.h spends the name on WM_SETICON's size 0, which this program never uses.
#undef ICON_SMALL
#define ICON_SMALL 108  // small class icon
#define ABOUT_PICTURE 2 // the about box's icon control

#define CMD_ABOUT 104
#define CMD_EXIT 105
#define CMD_STOP 32772
#define CMD_RELOAD_PLAY 32775
#define CMD_RECORD_ON 32776
#define CMD_WRITE_OUT 32777
#define CMD_DEBUG 32778             // menu item that is never enabled
#define CMD_REACQUIRE_DEVICE 32779  // menu item that is never enabled

// The composer's loop: items added to the menu by the shell, and the time dialog.
#define CMD_PLAY_ON_SAVE 32780
#define CMD_PLAY_FROM 32781
#define CMD_MUTE_TRACK 32782  // tracks 0..7: CMD_MUTE_TRACK + track
#define CMD_UNMUTE_ALL 32790
#define DLG_ASK_TEXT 110
#define ASK_TEXT_PROMPT 1001  // the dialog's label
#define ASK_TEXT_FIELD 1002   // its one-line field

// The status items the shell adds to the menu when the window is created.
#define CMD_OPEN 32800
#define CMD_SHOW_WARNINGS 32801
#define CMD_EXPORT_SONG 32802
#define CMD_STOP_EXPORT 32803

// The box of copyable text ("警告を表示") and the song export's numbers.
#define DLG_TEXT 120
#define TEXT_BOX 1011
#define DLG_SONG_EXPORT 121
#define SONG_LOOPS_LABEL 1012
#define SONG_LOOPS 1013
#define SONG_FADE_LABEL 1014
#define SONG_FADE 1015
