// The about box of QOR APP: the maker, the sensor's identity and size, the driver version and
// the program's own version, labelled in the user's language.
#pragma once

#include <windows.h>

#include "common/language.h"
#include "driver/win/qor_api.h"

// Dialog resource and control identifiers (app/resources/about_box.rc).
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDC_ABOUT_MAKER = 1001;
constexpr int IDC_ABOUT_NOTICE = 1002;
constexpr int IDC_ABOUT_WEB = 1003;
constexpr int IDC_ABOUT_SENSOR_ID_LABEL = 1004;
constexpr int IDC_ABOUT_SENSOR_SIZE_LABEL = 1005;
constexpr int IDC_ABOUT_DRIVER_VERSION_LABEL = 1006;
constexpr int IDC_ABOUT_SENSOR_ID = 1007;
constexpr int IDC_ABOUT_SENSOR_SIZE = 1008;
constexpr int IDC_ABOUT_DRIVER_VERSION = 1009;
constexpr int IDC_ABOUT_ICON = 1012;
constexpr int IDC_ABOUT_PROGRAM_LABEL = 1013;
constexpr int IDC_ABOUT_PROGRAM_VERSION = 1014;

// Modal; the values are copied when the box opens. A value whose flag is clear stays empty.
void ShowAboutBox(HWND owner, BOOL driverVersionValid, BOOL hwInfoValid,
                  const DriverVersion& driverVersion, const HWInfo& hwInfo, CLanguage& language);

// The texts of items 1007, 1008, 1009 and 1014 (empty when not valid or not readable).
struct AboutBoxValues {
    wchar_t sensorId[32];
    wchar_t sensorSize[64];
    wchar_t driverVersion[48];
    wchar_t programVersion[64];
};
AboutBoxValues FormatAboutBoxValues(BOOL driverVersionValid, BOOL hwInfoValid,
                                    const DriverVersion& driverVersion, const HWInfo& hwInfo);
