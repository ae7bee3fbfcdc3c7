// qor_icon_gen: writes QOR APP's icon files into a folder at build time, plus a PNG contact
// sheet of them on a light and a dark background for people to look at.
// Usage: qor_icon_gen OUTPUT_FOLDER
#include "external/qor_icons/gen/ico_file.h"
#include "external/qor_icons/gen/icon_art.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb/stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// Each icon at 48 pixels, one row on white and one on the dark grey of a tray.
bool WriteContactSheet(const std::filesystem::path& path) {
    constexpr int kCell = 56;
    constexpr int kIcon = 48;
    const int width = kCell * static_cast<int>(kIconFiles.size());
    const int height = kCell * 2;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int row = 0; row < 2; ++row) {
        const uint8_t background = row == 0 ? 255 : 48;
        for (size_t i = 0; i < kIconFiles.size(); ++i) {
            const Canvas icon = DrawIcon(kIconFiles[i].art, kIcon);
            for (int y = 0; y < kCell; ++y) {
                for (int x = 0; x < kCell; ++x) {
                    const int ix = x - (kCell - kIcon) / 2;
                    const int iy = y - (kCell - kIcon) / 2;
                    Rgba p{background, background, background, 0};
                    if (ix >= 0 && iy >= 0 && ix < kIcon && iy < kIcon) {
                        p = icon.At(ix, iy);
                    }
                    uint8_t* out = &rgb[(static_cast<size_t>(row * kCell + y) * width +
                                         i * kCell + x) * 3];
                    const uint8_t channel[3] = {p.r, p.g, p.b};
                    for (int k = 0; k < 3; ++k) {
                        out[k] = static_cast<uint8_t>((channel[k] * p.a + background * (255 - p.a)) / 255);
                    }
                }
            }
        }
    }
    return stbi_write_png(path.string().c_str(), width, height, 3, rgb.data(), width * 3) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qor_icon_gen OUTPUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    for (const IconFile& file : kIconFiles) {
        std::vector<Canvas> images;
        for (int size : kIconSizes) {
            images.push_back(DrawIcon(file.art, size));
        }
        if (!WriteFile(folder / file.fileName, EncodeIco(images))) {
            std::fprintf(stderr, "qor_icon_gen: cannot write %s: check that the folder is writable\n",
                         (folder / file.fileName).string().c_str());
            return 1;
        }
    }
    if (!WriteContactSheet(folder / "icons.png")) {
        std::fprintf(stderr, "qor_icon_gen: cannot write %s: check that the folder is writable\n",
                     (folder / "icons.png").string().c_str());
        return 1;
    }
    return 0;
}
