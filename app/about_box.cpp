// About box: dialog resource 100 of the program's own module, filled at WM_INITDIALOG.
#include "common/core/catch_all.h"
#include "app/about_box.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

struct AboutBoxData {
    AboutBoxValues values;
    CLanguage* language;
};

// The product version from the program file's version resource, "%d.%d.%d.%d"; empty when the
// resource cannot be read.
void ReadProgramVersion(wchar_t* out, size_t size) {
    out[0] = L'\0';
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    DWORD handle = 0;
    const DWORD bytes = GetFileVersionInfoSizeW(path, &handle);
    if (bytes == 0) {
        return;
    }
    std::vector<BYTE> block(bytes);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoBytes = 0;
    if (!GetFileVersionInfoW(path, 0, bytes, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoBytes) ||
        info == nullptr || infoBytes < sizeof(VS_FIXEDFILEINFO)) {
        return;
    }
    swprintf(out, size, L"%d.%d.%d.%d", HIWORD(info->dwProductVersionMS),
             LOWORD(info->dwProductVersionMS), HIWORD(info->dwProductVersionLS),
             LOWORD(info->dwProductVersionLS));
}

void SetTextFromLanguage(HWND dialog, int control, CLanguage& language, UINT id) {
    wchar_t text[200] = {};
    language.ReadStringFromDLL(id, text, 200);
    if (control == 0) {
        SetWindowTextW(dialog, text);
    } else {
        SetDlgItemTextW(dialog, control, text);
    }
}

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return CatchAll<INT_PTR>(FALSE, [&]() -> INT_PTR {
        switch (message) {
        case WM_INITDIALOG: {
            const auto* data = reinterpret_cast<const AboutBoxData*>(lParam);
            CLanguage& language = *data->language;
            SetTextFromLanguage(dialog, 0, language, 116);
            SetTextFromLanguage(dialog, IDC_ABOUT_NOTICE, language, 123);
            SetTextFromLanguage(dialog, IDC_ABOUT_SENSOR_ID_LABEL, language, 124);
            SetTextFromLanguage(dialog, IDC_ABOUT_SENSOR_SIZE_LABEL, language, 125);
            SetTextFromLanguage(dialog, IDC_ABOUT_DRIVER_VERSION_LABEL, language, 126);
            SetTextFromLanguage(dialog, IDOK, language, 127);
            SetDlgItemTextW(dialog, IDC_ABOUT_SENSOR_ID, data->values.sensorId);
            SetDlgItemTextW(dialog, IDC_ABOUT_SENSOR_SIZE, data->values.sensorSize);
            SetDlgItemTextW(dialog, IDC_ABOUT_DRIVER_VERSION, data->values.driverVersion);
            SetDlgItemTextW(dialog, IDC_ABOUT_PROGRAM_VERSION, data->values.programVersion);
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
        }
    });
}

}  // namespace

AboutBoxValues FormatAboutBoxValues(BOOL driverVersionValid, BOOL hwInfoValid,
                                    const DriverVersion& driverVersion, const HWInfo& hwInfo) {
    AboutBoxValues values{};
    if (hwInfoValid) {
        swprintf(values.sensorId, 32, L"%d", static_cast<int>(hwInfo.imagerId));
        swprintf(values.sensorSize, 64, L"%d [%d * %d]", static_cast<int>(hwInfo.sensorType),
                 static_cast<int>(hwInfo.width), static_cast<int>(hwInfo.height));
    }
    if (driverVersionValid) {
        swprintf(values.driverVersion, 48, L"%d.%d.%d", static_cast<int>(driverVersion.major),
                 static_cast<int>(driverVersion.minor), static_cast<int>(driverVersion.build));
    }
    ReadProgramVersion(values.programVersion, 64);
    return values;
}

void ShowAboutBox(HWND owner, BOOL driverVersionValid, BOOL hwInfoValid,
                  const DriverVersion& driverVersion, const HWInfo& hwInfo, CLanguage& language) {
    AboutBoxData data{FormatAboutBoxValues(driverVersionValid, hwInfoValid, driverVersion, hwInfo),
                      &language};
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutBoxProc,
                    reinterpret_cast<LPARAM>(&data));
}
