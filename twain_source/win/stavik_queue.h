// The maker's queue library, the source's fallback when QOR APP cannot be reached.
#pragma once
#include <windows.h>

#include "common/core/image_record.h"

struct StavikApi {
    HMODULE module = nullptr;
    int(__stdcall* InitializeImageQueue)() = nullptr;
    int(__stdcall* GetTotNumOfSelImages)() = nullptr;
    ImageDataStruct*(__stdcall* RemoveOldestSelImg)() = nullptr;
    int(__stdcall* FreeImg)(ImageDataStruct*) = nullptr;
    int(__stdcall* ClearImageQueue)() = nullptr;
};
StavikApi& Stavik();
bool LoadStavik();
void UnloadStavik();
