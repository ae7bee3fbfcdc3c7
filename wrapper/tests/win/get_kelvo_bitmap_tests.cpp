// GetKelvoBitmap as an older imaging program calls it, on a simulated sensor: 8 and 16 bits, the
// quarter turn, painting on and off (with a screenshot), and the refusals. The wrapper is loaded
// after the simulator folder is chosen, since it brings Qor.dll with it.
#include "driver/core/calibration_record.h"
#include "driver/core/frame_correction.h"
#include "external/imaging_toolkit/core/toolkit_bitmap.h"
#include "external/sensor_sim/core/simulator_control.h"
#include "imageproc/core/qor_image_proc.h"
#include "tests/support/ui_robot.h"
#include "tests/support/sensor_bench.h"
#include "wrapper/core/kelvo_conversion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kImagerId = 0x0020100F;  // sensor type 2: 1201 x 861
constexpr int32_t kWidth = 1201;
constexpr int32_t kHeight = 861;

using GetKelvoBitmapFn = int32_t(WINAPI*)(HANDLE, void*, int32_t, int32_t, int32_t, int32_t);
using InitSystemFn = HANDLE(WINAPI*)(int32_t);
using DeviceFn = int32_t(WINAPI*)(HANDLE);
using CapStatusFn = int32_t(WINAPI*)(HANDLE, int32_t*);
using FreeBitmapFn = int32_t(WINAPI*)(toolkit::Bitmap*);

template <typename Fn>
Fn Entry(const wchar_t* module, const char* name) {
    return reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

class KelvoBitmap : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = fs::temp_directory_path() / "qor_kelvo_sim";
        s_work = fs::temp_directory_path() / "qor_kelvo_work";
        qor::sim::PlugOptions plug;
        plug.name = "kelvo";
        plug.calibration.imagerId = kImagerId;
        plug.calibration.formatVersion = 3;
        qor::sim::FitGeometryToSensorType(plug.calibration);
        std::string error;
        s_control = qor::test::PlugSimulatedSensor(s_root, s_work, plug, error).release();
        ASSERT_NE(nullptr, s_control) << error;

        ASSERT_NE(nullptr, LoadLibraryW(L"kelvowrap2.dll"));
        s_get = Entry<GetKelvoBitmapFn>(L"kelvowrap2.dll", "GetKelvoBitmap");
        ASSERT_NE(nullptr, s_get);
        ASSERT_EQ(reinterpret_cast<void*>(s_get),
                  reinterpret_cast<void*>(Entry<GetKelvoBitmapFn>(
                      L"kelvowrap2.dll", reinterpret_cast<const char*>(MAKEINTRESOURCEA(1)))));
        s_init = Entry<InitSystemFn>(L"Qor.dll", "QorInitSystem");
        s_initSensor = Entry<DeviceFn>(L"Qor.dll", "QorInitSensor");
        s_acquire = Entry<DeviceFn>(L"Qor.dll", "QorAcquireImage");
        s_capStatus = Entry<CapStatusFn>(L"Qor.dll", "QorGetCapStatus");
        s_shutDown = Entry<DeviceFn>(L"Qor.dll", "QorShutDown");
        s_free = Entry<FreeBitmapFn>(L"LTKRN13N.dll", "TkFreeBitmap");
        ASSERT_TRUE(s_init && s_initSensor && s_acquire && s_capStatus && s_shutDown && s_free);
    }
    static void TearDownTestSuite() {
        delete s_control;
        s_control = nullptr;
    }

    // Arms the sensor and exposes it with `seed`: a frame then waits in the sensor.
    static void Expose(HANDLE device, uint32_t seed) {
        ASSERT_EQ(1, s_acquire(device));
        std::string error;
        ASSERT_TRUE(s_control->Expose("kelvo", seed, error)) << error;
        int32_t status = 0;
        ASSERT_EQ(1, s_capStatus(device, &status));
        ASSERT_EQ(1, status);
    }

    // The corrected frame the driver delivers for `seed` (process flag 1).
    static std::vector<int32_t> ExpectedFrame(uint32_t seed) {
        std::vector<int32_t> frame;
        std::string error;
        EXPECT_TRUE(s_control->FrameForSeed("kelvo", seed, frame, error)) << error;
        std::ifstream cache(s_work / (std::to_string(kImagerId) + ".dat"), std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(cache)),
                                   std::istreambuf_iterator<char>());
        qor::Calibration calibration;
        EXPECT_TRUE(qor::LoadCalibration(calibration, image.data(), {}));
        qor::CorrectionServices services;
        services.enhance = QorImageProc1;
        qor::CorrectFrame(frame.data(), frame.size(), calibration, 1023, 1, services);
        return frame;
    }

    static inline fs::path s_root, s_work;
    static inline qor::sim::SimulatorControl* s_control = nullptr;
    static inline GetKelvoBitmapFn s_get = nullptr;
    static inline InitSystemFn s_init = nullptr;
    static inline DeviceFn s_initSensor = nullptr, s_acquire = nullptr, s_shutDown = nullptr;
    static inline CapStatusFn s_capStatus = nullptr;
    static inline FreeBitmapFn s_free = nullptr;
};

toolkit::Bitmap Untouched() {
    toolkit::Bitmap bitmap;
    std::memset(&bitmap, 0xCD, sizeof bitmap);
    return bitmap;
}

bool IsUntouched(const toolkit::Bitmap& bitmap) {
    const toolkit::Bitmap pattern = Untouched();
    return std::memcmp(&bitmap, &pattern, sizeof bitmap) == 0;
}

// Something red where a painted bitmap would go: painting off must leave it.
void PaintCornerRed() {
    HDC screen = GetDC(nullptr);
    HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    const RECT corner{0, 0, kHeight, kWidth};
    FillRect(screen, &corner, red);
    DeleteObject(red);
    ReleaseDC(nullptr, screen);
}

COLORREF ScreenPixel(int x, int y) {
    HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return colour;
}

// Counts the pixels of a delivered 8-bit or 16-bit bitmap that differ from the turned `frame`
// (-1 when the bitmap has the wrong shape).
int TurnedMismatches(const toolkit::Bitmap& bitmap, int32_t bits, const std::vector<int32_t>& frame) {
    if (bitmap.width != kHeight || bitmap.height != kWidth || bitmap.bitsPerPixel != bits) {
        return -1;
    }
    int mismatches = 0;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const int32_t value = frame[static_cast<size_t>(y) * kWidth + x];
            uint8_t byte = 0;
            uint16_t word = 0;
            kelvo::ConvertTo8Bits(&value, 1, &byte);
            kelvo::ConvertTo16Bits(&value, 1, &word);
            mismatches += toolkit::Pixel(bitmap, kHeight - 1 - y, x) != (bits == 8 ? byte : word);
        }
    }
    return mismatches;
}

TEST_F(KelvoBitmap, DevicesThatWereNeverInitialisedGetNoBitmap) {
    for (HANDLE device : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                          reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x1234))}) {
        for (int32_t bits : {8, 16, 12}) {
            toolkit::Bitmap bitmap = Untouched();
            EXPECT_EQ(0, s_get(device, &bitmap, 0, bits, 1, 1)) << bits;
            EXPECT_TRUE(IsUntouched(bitmap));
        }
    }
}

TEST_F(KelvoBitmap, EightAndSixteenBitsTurnedAndPainting) {
    HANDLE device = s_init(0);
    ASSERT_NE(nullptr, device);
    ASSERT_EQ(1, s_initSensor(device));

    // Armed, nothing exposed: 0 and the bitmap untouched.
    ASSERT_EQ(1, s_acquire(device));
    toolkit::Bitmap bitmap = Untouched();
    EXPECT_EQ(0, s_get(device, &bitmap, 0, 8, 0, 1));
    EXPECT_TRUE(IsUntouched(bitmap));

    uint32_t seed = 21;
    for (int32_t bits : {8, 16}) {
        for (int32_t paint : {0, 1}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, paint " << paint);
            Expose(device, seed);
            PaintCornerRed();
            EXPECT_EQ(0, s_get(device, nullptr, 0, bits, paint, 1)) << "no bitmap to fill";
            ASSERT_EQ(1, s_get(device, &bitmap, 0, bits, paint, 1));
            const std::vector<int32_t> frame = ExpectedFrame(seed++);
            // Turned clockwise: 861 wide, 1201 high, the frame's last row as the left column.
            ASSERT_EQ(0, TurnedMismatches(bitmap, bits, frame));
            const bool saw4095 = std::find(frame.begin(), frame.end(), 4095) != frame.end();
            if (saw4095) {
                const uint32_t brightest = bits == 8 ? 255u : 65520u;
                bool found = false;
                for (int32_t y = 0; y < kWidth && !found; ++y) {
                    for (int32_t x = 0; x < kHeight && !found; ++x) {
                        found = toolkit::Pixel(bitmap, x, y) == brightest;
                    }
                }
                EXPECT_TRUE(found);
            }
            // The screen's corner: red without painting, the bitmap's greys with it.
            const int probes[][2] = {{0, 0}, {100, 200}, {860, 1000}, {431, 600}};  // 1280 x 1024
            for (const auto& probe : probes) {
                const uint32_t pixel = toolkit::Pixel(bitmap, probe[0], probe[1]);
                const uint8_t grey = static_cast<uint8_t>(bits == 8 ? pixel : pixel >> 8);
                const COLORREF expected = paint != 0 ? RGB(grey, grey, grey) : RGB(255, 0, 0);
                EXPECT_EQ(expected, ScreenPixel(probe[0], probe[1]))
                    << probe[0] << "," << probe[1];
            }
            if (paint != 0) {
                EXPECT_TRUE(ui::SavePng(nullptr, ui::ArtefactDir() + "wrapper_paint_" +
                                                      std::to_string(bits) + "bit.png"));
            }
            s_free(&bitmap);
        }
    }

    EXPECT_EQ(1, s_shutDown(device));
}

// Replaces the wrapper's import of VirtualAlloc, so that a test can let memory run out at a
// chosen allocation of one call.
class WrapperAllocations {
public:
    explicit WrapperAllocations(int failingCall) {
        s_nCalls = 0;
        s_nFailingCall = failingCall;
        s_real = reinterpret_cast<VirtualAllocFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "VirtualAlloc")));
        m_pSlot = ImportSlot(GetModuleHandleW(L"kelvowrap2.dll"), "VirtualAlloc");
        if (m_pSlot != nullptr) Write(reinterpret_cast<void*>(&Failing));
    }
    ~WrapperAllocations() {
        if (m_pSlot != nullptr) Write(m_pOriginal);
    }
    bool Installed() const { return m_pSlot != nullptr; }
    static int Calls() { return s_nCalls; }

private:
    using VirtualAllocFn = LPVOID(WINAPI*)(LPVOID, SIZE_T, DWORD, DWORD);

    static LPVOID WINAPI Failing(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
        if (++s_nCalls == s_nFailingCall) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return s_real(address, size, type, protect);
    }

    // The import address table entry of `name` in `module`.
    static void** ImportSlot(HMODULE module, const char* name) {
        if (module == nullptr) return nullptr;
        auto* base = reinterpret_cast<uint8_t*>(module);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             d->Name != 0; ++d) {
            if (d->OriginalFirstThunk == 0) continue;
            auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                const auto* byName =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0) {
                    return reinterpret_cast<void**>(&slots->u1.Function);
                }
            }
        }
        return nullptr;
    }

    void Write(void* value) {
        DWORD old = 0;
        VirtualProtect(m_pSlot, sizeof(void*), PAGE_READWRITE, &old);
        if (m_pOriginal == nullptr) m_pOriginal = *m_pSlot;
        *m_pSlot = value;
        VirtualProtect(m_pSlot, sizeof(void*), old, &old);
    }

    void** m_pSlot = nullptr;
    void* m_pOriginal = nullptr;
    static inline int s_nCalls = 0;
    static inline int s_nFailingCall = 0;
    static inline VirtualAllocFn s_real = nullptr;
};

// A call that cannot deliver (a depth other than 8 or 16, no memory for the frame or for the
// conversion) answers 0, leaves the bitmap and the screen alone and the image in the sensor:
// the next call with valid arguments gets that very image.
TEST_F(KelvoBitmap, CallsThatCannotDeliverLeaveTheImageInTheSensor) {
    HANDLE device = s_init(0);
    ASSERT_NE(nullptr, device);
    ASSERT_EQ(1, s_initSensor(device));
    uint32_t seed = 41;
    struct Case {
        const char* what;
        int32_t bits;
        int failingAllocation;  // 0: none
    };
    const Case cases[] = {
        {"24 bits", 24, 0},       {"12 bits", 12, 0},          {"0 bits", 0, 0},
        {"no memory for the frame", 8, 1}, {"no memory for the conversion", 8, 2},
        {"no memory for the 16-bit conversion", 16, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Expose(device, seed);
        const COLORREF before = ScreenPixel(431, 600);
        toolkit::Bitmap bitmap = Untouched();
        {
            WrapperAllocations allocations(c.failingAllocation);
            ASSERT_TRUE(allocations.Installed());
            EXPECT_EQ(0, s_get(device, &bitmap, 0, c.bits, 1, 1));
            if (c.failingAllocation != 0) {
                EXPECT_GE(WrapperAllocations::Calls(), c.failingAllocation);
            }
        }
        EXPECT_TRUE(IsUntouched(bitmap));
        EXPECT_EQ(before, ScreenPixel(431, 600));
        int32_t status = 0;
        EXPECT_EQ(1, s_capStatus(device, &status));
        EXPECT_EQ(1, status) << "the image is still waiting in the sensor";
        const int32_t bits = c.bits == 16 ? 16 : 8;
        if (s_get(device, &bitmap, 0, bits, 0, 1) != 1) {
            ADD_FAILURE() << "the image did not stay in the sensor for a call that can take it";
            ++seed;
            continue;
        }
        EXPECT_EQ(0, TurnedMismatches(bitmap, bits, ExpectedFrame(seed++)));
        s_free(&bitmap);
    }
    EXPECT_EQ(1, s_shutDown(device));
}

// The toolkit-style program in its own process: arm, expose, one GetKelvoBitmap, BMP and PNG.
TEST_F(KelvoBitmap, ToolkitClientSavesTheTurnedBitmapAsBmpAndPng) {
    const fs::path out = s_work / "client";
    fs::create_directories(out);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const fs::path client = fs::path(self).parent_path() / "toolkit_client.exe";
    std::wstring commandLine = L"\"" + client.wstring() + L"\" --bits 16 --wait 20 --expose-seed 31 --out \"" +
                               out.wstring() + L"\"";
    ASSERT_EQ(0u, qor::test::RunProgram(commandLine, s_work, 120000));

    std::ifstream bmp(out / "kelvo_16bit.bmp", std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(bmp)),
                                    std::istreambuf_iterator<char>());
    const size_t stride = 864;  // 861 rounded up to 4
    ASSERT_EQ(1078 + stride * kWidth, file.size());
    auto word = [&](size_t at) {
        return static_cast<int32_t>(file[at] | file[at + 1] << 8 | file[at + 2] << 16 |
                                    file[at + 3] << 24);
    };
    EXPECT_EQ(kHeight, word(18));
    EXPECT_EQ(kWidth, word(22));
    // Bottom-up rows of the turned frame, each pixel the high byte of its 16-bit word.
    const std::vector<int32_t> frame = ExpectedFrame(31);
    int mismatches = 0;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            uint8_t byte = 0;
            kelvo::ConvertTo8Bits(&frame[static_cast<size_t>(y) * kWidth + x], 1, &byte);
            const size_t row = static_cast<size_t>(kWidth - 1 - x);  // turned row x, stored last first
            mismatches += file[1078 + row * stride + static_cast<size_t>(kHeight - 1 - y)] != byte;
        }
    }
    EXPECT_EQ(0, mismatches);
    std::ifstream png(out / "kelvo_16bit.png", std::ios::binary);
    char signature[4] = {};
    png.read(signature, 4);
    EXPECT_EQ(std::string("\x89PNG"), std::string(signature, 4));
    fs::copy_file(out / "kelvo_16bit.png", fs::path(ui::ArtefactDir()) / "toolkit_client_16bit.png",
                  fs::copy_options::overwrite_existing);
}

}  // namespace
