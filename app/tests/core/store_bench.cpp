// Time of the store's work per image on the larger sensor: bitmap, thumbnail, and Add into a
// full store (files in memory, so only the list work and the copies count).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "app/core/gray_bitmap.h"
#include "app/core/image_file_name.h"
#include "app/core/image_list.h"

namespace {

constexpr int32_t kWidth = 1201;
constexpr int32_t kHeight = 861;

std::vector<int32_t> Frame() {
    std::vector<int32_t> frame(static_cast<size_t>(kWidth * kHeight));
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<int32_t>(i * 7 % 4096);
    }
    return frame;
}

void BM_MakeGray8Bitmap(benchmark::State& state) {
    const std::vector<int32_t> frame = Frame();
    for (auto _ : state) {
        uint8_t* bitmap = nullptr;
        ImageDataStruct record{};
        MakeGray8Bitmap(frame.data(), 1048576, kWidth, kHeight, &bitmap, &record);
        benchmark::DoNotOptimize(bitmap);
        std::free(bitmap);
    }
}
BENCHMARK(BM_MakeGray8Bitmap)->Unit(benchmark::kMillisecond);

void BM_MakeThumbnail(benchmark::State& state) {
    const std::vector<int32_t> frame = Frame();
    uint8_t* bitmap = nullptr;
    ImageDataStruct record{};
    MakeGray8Bitmap(frame.data(), 1048576, kWidth, kHeight, &bitmap, &record);
    for (auto _ : state) {
        uint8_t* thumbnail = nullptr;
        int32_t size = 0;
        MakeThumbnail(bitmap, &thumbnail, &size);
        benchmark::DoNotOptimize(thumbnail);
        std::free(thumbnail);
    }
    std::free(bitmap);
}
BENCHMARK(BM_MakeThumbnail)->Unit(benchmark::kMicrosecond);

class CopyingMedium : public StoreMedium {
public:
    ReadResult ReadInfo(std::vector<ImageInfoStuct>&) override { return ReadResult::Missing; }
    int WriteInfo(ImageDataStruct**, int) override { return 1; }
    ReadResult ReadImageFile(const std::string&, uint8_t** bytes, size_t*) override {
        *bytes = nullptr;
        return ReadResult::Missing;
    }
    bool WriteImageFile(const std::string& name, const uint8_t* bytes, size_t size) override {
        m_files[name].assign(bytes, bytes + size);
        return true;
    }
    Removal DeleteImageFile(const std::string& name) override {
        return m_files.erase(name) != 0 ? Removal::Deleted : Removal::Missing;
    }
    bool MoveToOlderImages(const std::string& name) override { return m_files.erase(name) != 0; }

private:
    std::map<std::string, std::vector<uint8_t>> m_files;
};

void BM_AddToFullStore(benchmark::State& state) {
    const std::vector<int32_t> frame = Frame();
    CopyingMedium medium;
    ImageList list(medium);
    ImageTime time{2026, 12, 1, 7, 8, 0, 0, 0};
    for (auto _ : state) {
        ImageDataStruct* record = NewImageRecord();
        MakeGray8Bitmap(frame.data(), 1048576, kWidth, kHeight, &record->pImageData, record);
        MakeThumbnail(record->pImageData, &record->pThumbnailData, &record->nThumbnailSize);
        record->stTime = time;
        AdvanceOneMillisecond(time);
        list.Add(record);
    }
}
BENCHMARK(BM_AddToFullStore)->Unit(benchmark::kMillisecond)->Iterations(200);

} // namespace
