// qorimg.dll as the driver library sees it: linked by name, exports by ordinal, version resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageproc/core/qor_image_proc.h"
#include "imageproc/tests/test_images.h"

namespace {

using Proc1 = int32_t(__stdcall*)(int32_t*, int32_t, int32_t, int32_t);
using Proc2 = void(__stdcall*)(float**, int32_t, int32_t, int32_t, int32_t, int32_t, float);

// GetProcAddress answers a generic function pointer; going through void* says we mean it.
template <typename Function> Function As(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(entry));
}

std::vector<int32_t> Frame() {
    std::vector<int32_t> frame(999 * 664);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<int32_t>((i * 2654435761u) % 4096u);
    }
    return frame;
}

using qor::imageproc::testdata::Fingerprint;

TEST(QorimgDll, LinkedCallGivesTheSameImageAsTheNativeBuild) {
    // Through the import library only: this test does not link the core.
    auto frame = qor::imageproc::testdata::MakeFrame(
        999, 664, qor::imageproc::testdata::Content::Exposure, 1);
    const auto original = frame;
    EXPECT_EQ(QorImageProc1(frame.data(), 999, 664, 2), 0);
    EXPECT_EQ(frame, original);
    ASSERT_EQ(QorImageProc1(frame.data(), 999, 664, 1), 1);
    EXPECT_EQ(Fingerprint(frame), 3421543151u);
}

TEST(QorimgDll, OrdinalsAndPlainNamesReachTheSameEntries) {
    HMODULE module = GetModuleHandleW(L"qorimg.dll");
    ASSERT_NE(module, nullptr);
    const FARPROC name1 = GetProcAddress(module, "QorImageProc1");
    const FARPROC name2 = GetProcAddress(module, "QorImageProc2");
    ASSERT_NE(name1, nullptr);
    ASSERT_NE(name2, nullptr);
    EXPECT_EQ(name1, GetProcAddress(module, MAKEINTRESOURCEA(1)));
    EXPECT_EQ(name2, GetProcAddress(module, MAKEINTRESOURCEA(2)));
    const FARPROC name3 = GetProcAddress(module, "QorRunParts");
    ASSERT_NE(name3, nullptr);
    EXPECT_EQ(name3, GetProcAddress(module, MAKEINTRESOURCEA(3)));
    EXPECT_EQ(GetProcAddress(module, "QorImageProc1@16"), nullptr); // decoration stripped

    auto frame = Frame();
    const auto expected = frame;
    EXPECT_EQ(As<Proc1>(name1)(frame.data(), 999, 664, 0), 0);
    EXPECT_EQ(frame, expected);

    // An unsupported grid through the DLL is left alone (and the call returns normally).
    std::vector<float> column(10, 7.0f);
    float* grid[1] = {column.data()};
    As<Proc2>(name2)(grid, 1, 10, 4096, 1, 35, 409.6f);
    EXPECT_EQ(column, std::vector<float>(10, 7.0f));
}

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* key) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + key;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == nullptr) {
        return L"";
    }
    return static_cast<const wchar_t*>(value);
}

TEST(QorimgDll, VersionResourceNamesTheLibrary) {
    wchar_t file[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(GetModuleHandleW(L"qorimg.dll"), file, MAX_PATH), 0u);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(file, 0, size, info.data()));
    EXPECT_EQ(VersionString(info, L"InternalName"), L"qorimgproc3");
    EXPECT_EQ(VersionString(info, L"FileVersion"), L"5.5.0");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00050005u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

} // namespace
