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
