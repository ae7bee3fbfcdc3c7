// Hostile "ImageInfo.ini" and "Language.ini" sections: parsing never overruns, every entry read
// is a time of day, and what is written back reads back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "external/orbel/core/image_info_file.h"
#include "external/orbel/core/language_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char16_t> block(size / 2);
    if (!block.empty()) {
        std::memcpy(block.data(), data, block.size() * 2);
    }
    const auto lines = orbel::SplitSectionBlock(block.data(), block.size());

    const auto entries = orbel::ParseImageInfo(lines);
    std::vector<ImageDataStruct> records;
    for (const auto& entry : entries) {
        if (entry.info.nFileNumber < 0 || entry.info.stTime.wHour > 23 ||
            entry.info.stTime.wMinute > 59 || entry.info.stTime.wSecond > 59) {
            std::abort();
        }
        ImageDataStruct record{};
        record.stTime = entry.info.stTime;
        record.bSelected = entry.info.bSelected;
        records.push_back(record);
    }
    std::vector<const ImageDataStruct*> pointers;
    for (size_t i = 0; i < records.size() && i < 64; ++i) {
        pointers.push_back(&records[i]);
    }
    const std::u16string written =
        orbel::ImageInfoBlock(pointers.data(), static_cast<int>(pointers.size()));
    const auto reread =
        orbel::ParseImageInfo(orbel::SplitSectionBlock(written.data(), written.size()));
    if (reread.size() != pointers.size()) {
        std::abort();
    }
    for (size_t i = 0; i < reread.size(); ++i) {
        if (reread[i].info.nFileNumber != entries[i].info.nFileNumber ||
            reread[i].info.bSelected != entries[i].info.bSelected) {
            std::abort();
        }
    }

    for (const auto& language : orbel::ParseLanguageTable(lines)) {
        if (language.nLangIds < 0 || language.nLangIds > kLanguageMaxIds ||
            language.szName[kLanguageNameChars - 1] != 0) {
            std::abort();
        }
    }
    return 0;
}
