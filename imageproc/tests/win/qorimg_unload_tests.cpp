// qorimg.dll loaded and freed again and again while it corrects frames, as a host that loads the
// driver library only for an acquisition does: the workers keep the library mapped while they
// run, leave on their own, and then the library really goes, with no thread of it left behind.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "imageproc/tests/test_images.h"

namespace {

using Proc1 = int32_t(__stdcall*)(int32_t*, int32_t, int32_t, int32_t);

// GetProcAddress answers a generic function pointer; going through void* says we mean it.
Proc1 Resolve(HMODULE module) {
    return reinterpret_cast<Proc1>(
        reinterpret_cast<void*>(GetProcAddress(module, "QorImageProc1")));
}

int32_t ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int32_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

// The library leaves once its workers have been idle for their time (two seconds).
bool WaitUntilUnloaded() {
    for (int32_t i = 0; i < 100 && GetModuleHandleW(L"qorimg.dll") != nullptr; ++i) {
        Sleep(50);
    }
    return GetModuleHandleW(L"qorimg.dll") == nullptr;
}

using qor::imageproc::testdata::Content;
using qor::imageproc::testdata::Fingerprint;
using qor::imageproc::testdata::MakeFrame;

TEST(QorimgUnload, LoadCorrectFreeLoopThenTheLibraryAndItsThreadsAreGone) {
    ASSERT_EQ(GetModuleHandleW(L"qorimg.dll"), nullptr) << "this test must load the library itself";
    const int32_t threadsBefore = ThreadsOfThisProcess();
    const auto frame = MakeFrame(999, 664, Content::Exposure, 1);
    for (int32_t round = 0; round < 2; ++round) {
        for (int32_t i = 0; i < 6; ++i) {
            HMODULE module = LoadLibraryW(L"qorimg.dll");
            ASSERT_NE(module, nullptr);
            const Proc1 enhance = Resolve(module);
            ASSERT_NE(enhance, nullptr);
            auto image = frame;
            ASSERT_EQ(enhance(image.data(), 999, 664, 1), 1);
            EXPECT_EQ(Fingerprint(image), 3421543151u) << "round " << round << ", load " << i;
            ASSERT_TRUE(FreeLibrary(module));
        }
        if (round == 0) {
            continue; // loaded again while the workers of the first round may still wait
        }
        // Freed by the host, the library stays only as long as a worker still holds it.
        EXPECT_TRUE(WaitUntilUnloaded());
        EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);
    }
}

TEST(QorimgUnload, AFreeDuringAnotherThreadsCorrectionLeavesThatCorrectionWhole) {
    // One thread holds its own reference and corrects; the other loads and frees meanwhile.
    HMODULE held = LoadLibraryW(L"qorimg.dll");
    ASSERT_NE(held, nullptr);
    const Proc1 enhance = Resolve(held);
    const auto frame = MakeFrame(999, 664, Content::Exposure, 1);
    std::thread churn([] {
        for (int32_t i = 0; i < 40; ++i) {
            HMODULE module = LoadLibraryW(L"qorimg.dll");
            if (module != nullptr) {
                FreeLibrary(module);
            }
        }
    });
    for (int32_t i = 0; i < 3; ++i) {
        auto image = frame;
        ASSERT_EQ(enhance(image.data(), 999, 664, 1), 1);
        EXPECT_EQ(Fingerprint(image), 3421543151u);
    }
    churn.join();
    ASSERT_TRUE(FreeLibrary(held));
    EXPECT_TRUE(WaitUntilUnloaded());
}

} // namespace
