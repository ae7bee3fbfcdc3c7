// "ImageInfo.ini", the list of stored images: one section [ImageInfo] with "Count" and one line
// per image, oldest first:
//     Image0=140305120,2026-12-07,1,1
// file number (names "140305120.bmp": hour, minute, second, milliseconds), date, day of week
// (0 = Sunday) and selection. The file number is the image's time of day.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/core/image_record.h"
#include "external/orbel/core/ini_lines.h"

namespace orbel {

inline constexpr char16_t kImageInfoSection[] = u"ImageInfo";
// More lines than this are never read (the store keeps 64); the newest are kept.
inline constexpr size_t kMaxInfoEntries = 1024;

struct InfoEntry {
    int32_t lineNumber; // n of "Image<n>"
    ImageInfoStuct info;
};

// The valid "Image<n>" lines in the order of n, each n once (its first line). A line whose file
// number is not a time of day is skipped; an unreadable date leaves the date zero; a
// selection other than "0" counts as selected.
std::vector<InfoEntry> ParseImageInfo(const std::vector<IniLine>& lines);

// The section's lines for these records: "Count" and "Image0".."Image<n-1>", as one block for
// WritePrivateProfileSectionW (lines ended by NUL, the block by a second NUL).
std::u16string ImageInfoBlock(const ImageDataStruct* const* records, int count);

// The key and value of one entry.
std::u16string ImageInfoKey(int32_t lineNumber);
std::u16string ImageInfoValue(const ImageInfoStuct& info);

} // namespace orbel
