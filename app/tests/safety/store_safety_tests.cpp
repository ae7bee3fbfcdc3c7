// QOR APP's stored images under faults, across processes: the program killed (TerminateProcess)
// at each fault point and its store loaded again, and "Exit QOR" and the end of the session
// while an image is only in memory because the store cannot be written.
#include "app/app_messages.h"
#include "app/core/gray_bitmap.h"
#include "app/fault_point.h"
#include "app/image_queue.h"
#include "tests/e2e/qor_app_support.h"
#include "tests/support/tray_robot.h"
#include "tests/support/ui_robot.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

using e2e::QorAppRig;
namespace fs = std::filesystem;
constexpr int kWaitMs = 20000;

// An 8-bit bitmap file image of width x height whose pixels follow `seed`.
std::vector<uint8_t> MakeBitmap(int width, int height, int seed) {
    std::vector<int32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<int32_t>((i * 7 + static_cast<size_t>(seed) * 131) % 4096);
    }
    uint8_t* bitmap = nullptr;
    ImageDataStruct sizes{};
    EXPECT_EQ(1, MakeGray8Bitmap(pixels.data(), static_cast<int32_t>(pixels.size()), width, height,
                                 &bitmap, &sizes));
    std::vector<uint8_t> bytes(bitmap, bitmap + sizes.nImageSize);
    std::free(bitmap);
    return bytes;
}

// Images stored by an earlier run of the program, oldest first.
std::vector<std::vector<uint8_t>> StoreEarlierImages(const QorAppRig& rig) {
    std::vector<std::vector<uint8_t>> images;
    CImageQueue store(rig.Work().wstring().c_str());
    for (uint16_t i = 0; i < 2; ++i) {
        ImageDataStruct* record = NewImageRecord();
        images.push_back(MakeBitmap(640, 480, i + 1));
        record->pImageData = static_cast<uint8_t*>(std::malloc(images.back().size()));
        std::copy(images.back().begin(), images.back().end(), record->pImageData);
        record->nImageSize = static_cast<int32_t>(images.back().size());
        MakeThumbnail(record->pImageData, &record->pThumbnailData, &record->nThumbnailSize);
        record->bSelected = 1;
        record->stTime = {2026, 12, 2, 8, 9, 15, static_cast<uint16_t>(i), 250};
        store.Add(record);
    }
    store.DeleteAll(FALSE);
    return images;
}

void WriteTestImage(const QorAppRig& rig, const std::vector<uint8_t>& image) {
    std::ofstream(rig.Work() / "TestImage.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

std::vector<uint8_t> Bytes(const ImageDataStruct* record) {
    return {record->pImageData, record->pImageData + record->nImageSize};
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) {
        all += line;
    }
    return all;
}

// Starts qorpipe.exe with `arguments` in the background; the caller waits for it.
HANDLE StartQorpipe(const std::wstring& arguments) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring program = (fs::path(self).parent_path() / "qorpipe.exe").wstring();
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

// Killed at each fault point, the program loses no image that was stored before, leaves no half
// file that a start would take for an image, and an image whose file was complete when the kill
// came is offered again even though the list never named it.
TEST(StoreSafety, KilledAtEachFaultPointLosesNoStoredImage) {
    enum class Trigger { TestMode, Lend };
    struct Case {
        const char* point;
        Trigger trigger;
        bool newImageKept;        // the test image's file was complete at the kill
        const char* reportLine;   // what the next start tells the log
    };
    const Case cases[] = {
        {fault::kStoreWrite, Trigger::TestMode, false, "whose writing was cut short; it is deleted"},
        {fault::kInfoSwap, Trigger::TestMode, true, "was not listed; it is adopted"},
        {fault::kPipeWrite, Trigger::Lend, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        QorAppRig rig(std::string("fault_") + c.point);
        rig.UseTestHooksProgram();
        const auto earlier = StoreEarlierImages(rig);
        const auto testImage = MakeBitmap(300, 200, 9);
        WriteTestImage(rig, testImage);
        rig.PlugSensor();

        HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, fault::kReachedEventName);
        ASSERT_NE(nullptr, reached);
        ResetEvent(reached);
        SetEnvironmentVariableA(fault::kEnvironmentVariable, c.point);
        const DWORD started = rig.Start();
        SetEnvironmentVariableA(fault::kEnvironmentVariable, nullptr);
        ASSERT_NE(0u, started);
        HWND window = rig.MainWindow(kWaitMs);
        ASSERT_NE(nullptr, window);
        HANDLE client = nullptr;
        if (c.trigger == Trigger::TestMode) {
            PostMessageW(window, WM_COMMAND, IDM_TEST_MODE, 0);
        } else {
            client = StartQorpipe(L"lend");
            ASSERT_NE(nullptr, client);
        }
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(reached, kWaitMs))
            << "the program reaches the fault point";
        rig.Kill();
        CloseHandle(reached);
        if (client != nullptr) {
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client, kWaitMs));
            DWORD code = 0;
            GetExitCodeProcess(client, &code);
            EXPECT_EQ(1u, code) << "the client sees the cut reply and discards it";
            CloseHandle(client);
        }

        // The next start of the program tells its log what it found, and writes the list again.
        ASSERT_NE(0u, rig.Start());
        HWND again = rig.MainWindow(kWaitMs);
        ASSERT_NE(nullptr, again);
        PostMessageW(again, WM_COMMAND, IDM_EXIT_QOR, 0);
        ASSERT_TRUE(rig.WaitForExit(kWaitMs));
        const std::string log = rig.Log();
        if (c.reportLine != nullptr) {
            EXPECT_NE(std::string::npos, log.find(c.reportLine)) << log;
        } else {
            EXPECT_EQ(std::string::npos, log.find("CImageQueue: Load:")) << log;
        }

        // Every image is offered, byte for byte, from a list that needs no more repair.
        CImageQueue store(rig.Work().wstring().c_str());
        std::vector<std::vector<uint8_t>> expected = earlier;
        if (c.newImageKept) {
            expected.push_back(testImage);
        }
        ASSERT_EQ(static_cast<int>(expected.size()), store.GetCount());
        for (int i = 0; i < store.GetCount(); ++i) {
            EXPECT_EQ(expected[static_cast<size_t>(i)], Bytes(store.GetAt(i))) << "image " << i;
            EXPECT_EQ(1, store.GetAt(i)->bSelected);
        }
        EXPECT_EQ("", Joined(store.TakeReport()));
        for (const auto& entry : fs::directory_iterator(rig.ImagesFolder())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(entry.path().extension() == ".bmp" || name == "ImageInfo.ini") << name;
        }
        store.DeleteAll(FALSE);
    }
}

// "Exit QOR" and the end of the session while the store cannot be written (a file stands where
// the "Images" folder was: the tests run as root under Wine, where a read-only folder would
// still be written): the image only in memory is not given up. The user is told (in the chosen
// language: the balloon at the failed write and the box), the program stays and refuses the end
// of the session; once the folder is back the image is written, the session may end and the
// program exits with the image on disk.
TEST(StoreSafety, ExitWithAnUnsavedImageTellsTheUserAndStays) {
    QorAppRig rig("unsaved_exit");
    rig.Registry().SetDword(L"LanguageID", 1031);
    const auto testImage = MakeBitmap(300, 200, 4);
    WriteTestImage(rig, testImage);
    rig.PlugSensor();
    ASSERT_NE(0u, rig.Start());
    HWND window = rig.MainWindow(kWaitMs);
    ASSERT_NE(nullptr, window);

    fs::remove_all(rig.ImagesFolder());
    std::ofstream(rig.ImagesFolder()) << "not a folder";
    PostMessageW(window, WM_COMMAND, IDM_TEST_MODE, 0);
    ASSERT_TRUE(ui::WaitUntil([&] { return rig.Log().find("could not be written") !=
                                           std::string::npos; }, kWaitMs));
    const std::wstring balloon = L"Ein Bild konnte nicht gespeichert werden und bleibt im Speicher.";
    EXPECT_TRUE(ui::WaitUntil(
        [&] {
            for (const auto& text : tray::BalloonTexts()) {
                if (text.find(balloon) != std::wstring::npos) {
                    return true;
                }
            }
            return false;
        },
        kWaitMs))
        << "the balloon of the failed write, in German";

    const std::wstring told =
        L"Bilder konnten nicht gespeichert werden: Datenträger voll oder schreibgeschützt. QOR "
        L"APP bleibt geöffnet, damit kein Bild verloren geht. Speicher freigeben oder Ordner "
        L"Images beschreibbar machen.";
    PostMessageW(window, WM_COMMAND, IDM_EXIT_QOR, 0);
    HWND box = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, box) << "the user is told at Exit QOR";
    EXPECT_EQ(told, QorAppRig::BoxText(box));
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitGone(box, kWaitMs));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(rig.Process(), 500))
        << "QOR APP stays";

    DWORD_PTR answer = 99;
    ASSERT_NE(0, SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                     SMTO_ABORTIFHUNG, kWaitMs, &answer));
    EXPECT_EQ(0u, answer) << "the session may not end";
    box = rig.WaitForDialog(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, box) << "the user is told after the refusal";
    EXPECT_EQ(told, QorAppRig::BoxText(box));
    ui::Press(box, IDOK);
    ASSERT_TRUE(ui::WaitGone(box, kWaitMs));

    fs::remove(rig.ImagesFolder());
    fs::create_directories(rig.ImagesFolder());
    answer = 99;
    ASSERT_NE(0, SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                     SMTO_ABORTIFHUNG, kWaitMs, &answer));
    EXPECT_EQ(1u, answer) << "written now, the session may end";
    ASSERT_EQ(1u, rig.StoredFiles().size());
    EXPECT_EQ(testImage, e2e::ReadFileBytes(rig.StoredFiles().front()));

    PostMessageW(window, WM_COMMAND, IDM_EXIT_QOR, 0);
    ASSERT_TRUE(rig.WaitForExit(kWaitMs));
    const std::string log = rig.Log();
    EXPECT_NE(std::string::npos, log.find("OnExitqor: 1 image(s) could not be saved")) << log;
    EXPECT_NE(std::string::npos, log.find("OnQueryEndSession: 1 image(s) kept in memory are now saved"))
        << log;
    CImageQueue store(rig.Work().wstring().c_str());
    ASSERT_EQ(1, store.GetCount()) << "listed for the next start";
    EXPECT_EQ(testImage, Bytes(store.GetAt(0)));
    store.DeleteAll(FALSE);
}

}  // namespace
