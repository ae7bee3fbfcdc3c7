// Resource identifiers of QOR APP (shared by app.rc and the code).
#pragma once

#define IDD_QORAPP_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_TRAY_MENU 130
#define IDR_SENSOR_MENU 139
#define IDI_SENSOR_READY 148
#define IDI_SENSOR_ERROR 150
#define IDI_SENSOR_NOT_CONNECTED 152
#define IDI_IMAGES_FRAME1 153
#define IDI_IMAGES_FRAME2 154
#define IDM_ABOUTBOX 16
// Texts added to the string table beyond the original 101..143 (ids chosen clear of the data
// source's own strings).
#define IDS_IMAGES_NOT_SAVED_AT_EXIT 160
#define IDS_IMAGE_NOT_SAVED_BALLOON 161
// The store's notices: a list it could not read at the start (balloon), an image that left it
// whose file could not be deleted (box), the oldest image moved out of a full store (balloon),
// a full store that could move nothing out (balloon).
#define IDS_IMAGES_IN_DOUBT_BALLOON 170
#define IDS_IMAGE_NOT_DELETED 171
#define IDS_OLDEST_MOVED_OUT_BALLOON 172
#define IDS_NO_ROOM_MADE_BALLOON 173
