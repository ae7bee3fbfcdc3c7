// A BMP file image as it arrives from the pipe or the disk queue: load it, copy its rows out in
// buffers of a size taken from the input, and write it back. Inputs are taken as they are and
// also behind a plausible header built from their first bytes, so the row code is reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "twain_source/core/dib_image.h"

namespace {

void Exercise(const uint8_t* data, size_t size, uint32_t length) {
    const auto dib = qor::twain::LoadDib(data, size);
    if (!dib) return;
    qor::twain::DibToBmpFile(*dib);
    std::vector<uint8_t> buffer(length);
    qor::twain::CDibRowCursor cursor;
    cursor.Start(&*dib);
    for (int i = 0; i < 100000; ++i) {
        if (cursor.Copy(buffer.data(), length).status != qor::twain::RowCopy::Copied) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const uint32_t length = static_cast<uint32_t>(data[0]) * 37u + 1u;
    Exercise(data + 1, size - 1, length);

    static constexpr uint16_t kBits[] = {1, 4, 8, 16, 24, 32, 8, 3};
    std::vector<uint8_t> file(54, 0);
    auto put = [&](size_t at, uint32_t v, size_t n) { std::memcpy(file.data() + at, &v, n); };
    file[0] = 'B';
    file[1] = 'M';
    put(10, data[1] & 1 ? 0 : 54u + 4u * data[5], 4);
    put(14, data[1] & 2 ? 12 : 40, 4);
    put(18, data[2] % 97, 4);
    put(22, data[3] % 61, 4);
    put(26, 1, 2);
    put(28, kBits[data[4] & 7], 2);
    put(34, data[6], 4);
    put(46, data[5], 4);
    file.insert(file.end(), data + 8, data + size);
    Exercise(file.data(), file.size(), length);
    return 0;
}
