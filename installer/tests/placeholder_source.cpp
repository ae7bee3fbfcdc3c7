// A stand-in for the TWAIN source in the installation test while QORSRC.ds is not built: it only
// tells the TWAIN manager who it is, which is all the test asks of it.
#include <windows.h>

#include "twain.h"

#include <cstring>

extern "C" __declspec(dllexport) TW_UINT16 WINAPI DS_Entry(pTW_IDENTITY, TW_UINT32 group,
                                                          TW_UINT16 data, TW_UINT16 message,
                                                          TW_MEMREF pointer) {
    if (group != DG_CONTROL || data != DAT_IDENTITY || message != MSG_GET || pointer == nullptr) {
        return TWRC_FAILURE;
    }
    auto* identity = static_cast<pTW_IDENTITY>(pointer);
    const TW_UINT32 id = identity->Id;
    std::memset(identity, 0, sizeof *identity);
    identity->Id = id;
    identity->Version.MajorNum = 5;
    identity->Version.MinorNum = 5;
    identity->Version.Language = TWLG_ENGLISH_USA;
    identity->Version.Country = TWCY_USA;
    identity->ProtocolMajor = 1;
    identity->ProtocolMinor = 9;
    identity->SupportedGroups = DG_CONTROL | DG_IMAGE;
    std::strcpy(identity->Manufacturer, "Halvex Imaging");
    std::strcpy(identity->ProductFamily, "QOR");
    std::strcpy(identity->ProductName, "QORSRC placeholder");
    return TWRC_SUCCESS;
}
