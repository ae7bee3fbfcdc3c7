// The image-information library "Orbel.dll": the language table ("Language.ini") and the image
// information file ("ImageInfo.ini"). C++ linkage: callers import the decorated names, and the
// two FreeMem calls are overloads. Every array it hands out is released with FreeMem.
#pragma once

#include <cstdint>

#include "common/core/image_record.h"
#include "common/core/language_info.h"

#if defined(ORBEL_BUILDING_DLL)
#define ORBEL_API __declspec(dllexport)
#else
#define ORBEL_API __declspec(dllimport)
#endif

// Non-zero when the table file was read; then *count records in *table.
ORBEL_API int GetSupportedLang(const char* path, int* count, LanguageInfoStruct** table);
ORBEL_API void FreeMem(LanguageInfoStruct* table);

// Non-zero when the information file was read; then *count entries, oldest first, in *entries
// (null when the count is 0). Zero when it was not; then GetLastError() tells why:
// ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when there is no such file, any other code when
// the file is there but could not be read (ERROR_SHARING_VIOLATION: another program holds it
// open without sharing; a read error), so that a caller can try again rather than take it
// for an empty list.
ORBEL_API int GetImageInfo(const char* path, ImageInfoStuct** entries, int* count);
ORBEL_API void FreeMem(ImageInfoStuct* entries);
// Rewrites the file to list exactly these records (at most 64) with their time and selection.
ORBEL_API int StoreImageInfo(const char* path, ImageDataStruct** records, int count);
// Sets the selection of the entry at index. Non-zero on success.
ORBEL_API int UpdateSelectionStatus(const char* path, int index, int selected);
