// qorctl bitmap: a corrected frame turned into the 8-bit bitmap (and thumbnail) the application
// stores, with the application's own helpers.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "frame_files.h"
#include "app/core/gray_bitmap.h"

namespace qorctl {

namespace {

struct BitmapOptions {
    std::string frame;
    int32_t width = 0;
    int32_t height = 0;
    std::string out;
    std::string thumbnail;
};

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qorctl: " << message << "\n";
    throw CLI::RuntimeError(1);
}

struct FreeBytes {
    void operator()(uint8_t* p) const { std::free(p); }
};

void Save(const std::string& path, const uint8_t* bytes, int32_t size) {
    if (!WriteBytes(path, bytes, static_cast<size_t>(size))) {
        Fail(path + ": cannot write the bitmap; check the folder exists and is writable");
    }
    std::cout << path << ": " << size << " bytes\n";
}

void RunBitmap(const BitmapOptions& o) {
    std::vector<int32_t> frame;
    std::string error;
    if (!ReadRawFrame(o.frame, frame, error)) {
        Fail(error);
    }
    const int64_t wanted = static_cast<int64_t>(o.width) * o.height;
    if (static_cast<int64_t>(frame.size()) != wanted) {
        Fail(o.frame + ": " + std::to_string(frame.size()) + " pixels, but " +
             std::to_string(o.width) + " x " + std::to_string(o.height) + " needs " +
             std::to_string(wanted) + "; give the frame's own --width and --height");
    }
    uint8_t* bitmap = nullptr;
    ImageDataStruct record{};
    if (MakeGray8Bitmap(frame.data(), static_cast<int32_t>(frame.size()), o.width, o.height,
                        &bitmap, &record) == 0) {
        Fail(o.frame + ": the frame cannot be made into a bitmap (too large or out of memory)");
    }
    const std::unique_ptr<uint8_t, FreeBytes> owned(bitmap);
    Save(o.out, bitmap, record.nImageSize);
    if (!o.thumbnail.empty()) {
        uint8_t* thumbnail = nullptr;
        int32_t size = 0;
        if (MakeThumbnail(bitmap, &thumbnail, &size) == 0) {
            Fail(o.frame + ": no thumbnail could be made (out of memory)");
        }
        const std::unique_ptr<uint8_t, FreeBytes> ownedThumbnail(thumbnail);
        Save(o.thumbnail, thumbnail, size);
    }
}

}  // namespace

void AddBitmapCommands(CLI::App& app) {
    auto options = std::make_shared<BitmapOptions>();
    CLI::App* b = app.add_subcommand(
        "bitmap", "Turn a corrected frame (0..4095) into the 8-bit bitmap the application stores");
    b->add_option("--frame", options->frame, "corrected frame (little-endian int32 values)")
        ->required();
    b->add_option("--width", options->width, "pixels per row")->required()->check(CLI::Range(1, 65535));
    b->add_option("--height", options->height, "rows")->required()->check(CLI::Range(1, 65535));
    b->add_option("--out", options->out, "the bitmap file")->required();
    b->add_option("--thumbnail", options->thumbnail, "also the 120 x 86 thumbnail file");
    b->callback([options] { RunBitmap(*options); });
}

}  // namespace qorctl
