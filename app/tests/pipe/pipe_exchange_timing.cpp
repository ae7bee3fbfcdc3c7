// Timing of the image exchange under Wine: QOR APP's pipe server with ten stored 1201 x 861
// images, qorpipe.exe fetching them in another process. Prints each exchange (CHECK_PENDING_IMAGES
// plus GET_IMAGES of 1,037,722 bytes) and the best and median figures.
#include "app/tests/pipe/pipe_test_host.h"

#include <algorithm>
#include <cstdio>

int main() {
    OpenTestLog();
    PipeTestHost host(L"timing");
    constexpr int kImages = 10;
    for (int i = 0; i < kImages; ++i) {
        host.AddImage(1201, 861, i, true);
    }
    if (!host.Start()) {
        std::fprintf(stderr, "pipe_exchange_timing: the pipe server could not start; end any "
                             "QOR APP running in this Wine prefix and try again\n");
        return 1;
    }
    nlohmann::json result;
    const std::filesystem::path out = host.Folder() / L"fetched";
    if (host.RunClient(L"fetch --out \"" + out.wstring() + L"\"", &result) != 0 ||
        result["images"].size() != kImages) {
        std::fprintf(stderr, "pipe_exchange_timing: the fetch failed; run pipe_server_tests\n");
        return 1;
    }
    std::vector<double> ms;
    for (const auto& image : result["images"]) {
        ms.push_back(image["ms"].get<double>());
        std::printf("exchange of %d bytes: %.1f ms\n", image["bytes"].get<int>(), ms.back());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("1201 x 861 image exchange: best %.1f ms, median %.1f ms (%d exchanges)\n", ms[0],
                ms[ms.size() / 2], kImages);
    host.Stop();
    return 0;
}
