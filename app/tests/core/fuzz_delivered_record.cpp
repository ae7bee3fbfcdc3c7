// "Delivered Images.txt" as any program or damage may leave it: the parser never reads past the
// text, keeps only store file names, and what it keeps reads back the same once written.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/core/delivered_record.h"
#include "app/core/image_file_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const DeliveredRecord record =
        ParseDeliveredRecord(std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& entry : record) {
        if (FileNumberOfName(entry.first) < 0) {
            std::abort();
        }
    }
    if (ParseDeliveredRecord(FormatDeliveredRecord(record)) != record) {
        std::abort();
    }
    return 0;
}
