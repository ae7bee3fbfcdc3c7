// The preview of QOR APP as a person uses it, with the controller in the test's own process (its
// list items are read there): thumbnails and times, check boxes that decide what the pipe gives
// out, deleting after the question, select and deselect all, a new image while it is open, a
// store that changes under the question, 64 images with a thumbnail file that cannot be
// written, the labels in German and French, and the exit.
#include "app/confirm_box.h"
#include "app/core/gray_bitmap.h"
#include "app/image_view.h"
#include "app/qor_app.h"
#include "common/core/log_file.h"
#include "external/orbel/orbel.h"
#include "tests/e2e/qor_app_support.h"
#include "tests/support/ui_robot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

namespace fs = std::filesystem;
constexpr int kWaitMs = 20000;

std::string Artefact(const std::string& name) {
    return ui::ArtefactDir() + "preview_" + name;
}

// An 8-bit bitmap file image: a grey ramp with a bright disc that moves with `index`.
uint8_t* MakePicture(int index, ImageDataStruct& sizes) {
    constexpr int32_t width = 360;
    constexpr int32_t height = 258;
    std::vector<int32_t> pixels(width * height);
    const int cx = 50 + (index * 97) % 260;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int dx = x - cx;
            const int dy = y - 129;
            pixels[static_cast<size_t>(y * width + x)] =
                dx * dx + dy * dy < 50 * 50 ? 4095 : 600 + (x + y) * 4;
        }
    }
    uint8_t* bitmap = nullptr;
    EXPECT_EQ(1, MakeGray8Bitmap(pixels.data(), width * height, width, height, &bitmap, &sizes));
    return bitmap;
}

// Stores picture `index` at the given time of day in the rig's store, as an earlier run of the
// program would have left it.
std::vector<uint8_t> SeedImage(const fs::path& work, int index, int hour, int minute, int second,
                               int millisecond, bool selected) {
    ImageDataStruct sizes{};
    uint8_t* bitmap = MakePicture(index, sizes);
    std::vector<uint8_t> bytes(bitmap, bitmap + sizes.nImageSize);
    ImageDataStruct* record = NewImageRecord();
    record->pImageData = bitmap;
    record->nImageSize = sizes.nImageSize;
    MakeThumbnail(bitmap, &record->pThumbnailData, &record->nThumbnailSize);
    record->bSelected = selected ? 1 : 0;
    record->stTime = {2026,
                      12,
                      1,
                      7,
                      static_cast<uint16_t>(hour),
                      static_cast<uint16_t>(minute),
                      static_cast<uint16_t>(second),
                      static_cast<uint16_t>(millisecond)};
    CImageQueue store(work.wstring().c_str());
    store.Add(record);
    store.DeleteAll(FALSE);
    return bytes;
}

struct Item {
    std::wstring text;
    bool checked = false;
    bool operator==(const Item&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Item& item) {
    char text[64] = {};
    WideCharToMultiByte(CP_UTF8, 0, item.text.c_str(), -1, text, sizeof(text), nullptr, nullptr);
    return out << '"' << text << '"' << (item.checked ? " checked" : " unchecked");
}

std::vector<Item> Items(HWND preview) {
    HWND list = ui::Child(preview, IDC_IMAGE_LIST);
    std::vector<Item> items;
    const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[64] = {};
        LVITEMW item{};
        item.iSubItem = 0;
        item.pszText = text;
        item.cchTextMax = 64;
        SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&item));
        const auto state = static_cast<UINT>(
            SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(i), LVIS_STATEIMAGEMASK));
        items.push_back({text, state == INDEXTOSTATEIMAGEMASK(2)});
    }
    return items;
}

bool WaitForItems(HWND preview, const std::vector<Item>& expected) {
    return ui::WaitUntil([&] { return Items(preview) == expected; }, kWaitMs);
}

// The user clicks an item's check box (the list control sends the same notification).
void ClickCheckBox(HWND preview, int item, bool checked) {
    LVITEMW state{};
    state.stateMask = LVIS_STATEIMAGEMASK;
    state.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    SendMessageW(ui::Child(preview, IDC_IMAGE_LIST), LVM_SETITEMSTATE, static_cast<WPARAM>(item),
                 reinterpret_cast<LPARAM>(&state));
}

// bSelected of each entry of the information file, oldest first.
std::vector<int> StoredSelection(const e2e::QorAppRig& rig) {
    std::vector<int> selection;
    ImageInfoStuct* entries = nullptr;
    int count = 0;
    const std::string info = (rig.ImagesFolder() / "ImageInfo.ini").string();
    if (GetImageInfo(info.c_str(), &entries, &count) != 0) {
        for (int i = 0; i < count; ++i) {
            selection.push_back(entries[i].bSelected);
        }
        FreeMem(entries);
    }
    return selection;
}

// A visible window of this process whose title starts with `title`.
HWND WaitForOwnWindow(const std::wstring& title, int timeoutMs) {
    HWND found = nullptr;
    ui::WaitUntil(
        [&] {
            for (HWND window : ui::TopLevelWindows(GetCurrentProcessId())) {
                if (IsWindowVisible(window) && ui::Text(window).starts_with(title)) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

// The program in a thread of the test, started in the rig's folder and ended with "Exit QOR".
class RunningApp {
public:
    explicit RunningApp(e2e::QorAppRig& rig) {
        GetCurrentDirectoryW(MAX_PATH, m_previous);
        SetCurrentDirectoryW(rig.Work().wstring().c_str());
        m_thread = std::thread([this] {
            CQorApp instance;
            m_app = &instance;
            instance.DoModal();
            m_app = nullptr;
        });
        // Without a sensor the start-up says so once.
        HWND box = WaitForOwnWindow(L"QOR APP", kWaitMs);
        EXPECT_NE(nullptr, box);
        ui::Press(box, IDOK);
        ui::WaitGone(box, kWaitMs);
        EXPECT_TRUE(ui::WaitUntil(
            [&] { return m_app.load() != nullptr && m_app.load()->Window() != nullptr; }, kWaitMs));
    }
    ~RunningApp() {
        if (m_app != nullptr) {
            PostMessageW(m_app.load()->Window(), WM_COMMAND, IDM_EXIT_QOR, 0);
        }
        m_thread.join();
        SetCurrentDirectoryW(m_previous);
    }
    CQorApp& App() { return *m_app; }
    // "View Images" from the tray menu; the preview window.
    HWND OpenPreview(const std::wstring& caption) {
        PostMessageW(m_app.load()->Window(), WM_COMMAND, IDM_VIEW_IMAGES, 0);
        return WaitForOwnWindow(caption, kWaitMs);
    }

private:
    wchar_t m_previous[MAX_PATH] = {};
    std::atomic<CQorApp*> m_app{nullptr};
    std::thread m_thread;
};

// Answers the delete question with button 23 (yes) or 24 (no) and checks its texts.
void AnswerDeleteQuestion(int button, const std::string& screenshot = {}) {
    HWND question = WaitForOwnWindow(L"QOR APP", kWaitMs);
    ASSERT_NE(nullptr, question);
    EXPECT_NE(nullptr, ui::ChildWithText(
                           question, L"Are you sure you want to delete all the selected images?"));
    EXPECT_EQ(L"Yes", ui::Text(ui::Child(question, kConfirmFirstButtonId)));
    EXPECT_EQ(L"No", ui::Text(ui::Child(question, kConfirmSecondButtonId)));
    if (!screenshot.empty()) {
        ui::SavePng(question, Artefact(screenshot));
    }
    ui::Press(question, button);
    ASSERT_TRUE(ui::WaitGone(question, kWaitMs));
}

// The road of a person with the preview: three stored images, one unchecked, a fetch over the
// pipe that takes only the checked ones, select and deselect all, delete (No, then Yes) with a
// new image arriving under the question, the last image deleted, closing, reopening and exiting
// with the preview open.
TEST(QorAppPreview, ChoosingFetchingAndDeleting) {
    e2e::QorAppRig rig("preview_road");
    const auto first = SeedImage(rig.Work(), 0, 9, 5, 3, 250, true);
    SeedImage(rig.Work(), 1, 9, 12, 40, 0, true);
    const auto third = SeedImage(rig.Work(), 2, 10, 0, 7, 999, true);
    ImageDataStruct sizes{};
    uint8_t* testImage = MakePicture(3, sizes);
    std::ofstream(rig.Work() / "TestImage.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(testImage), sizes.nImageSize);
    std::free(testImage);
    RunningApp program(rig);

    HWND preview = program.OpenPreview(L"Image view");
    ASSERT_NE(nullptr, preview);
    EXPECT_EQ(L"Select All", ui::Text(ui::Child(preview, IDC_SELECT_ALL)));
    EXPECT_EQ(L"Deselect All", ui::Text(ui::Child(preview, IDC_DESELECT_ALL)));
    EXPECT_EQ(L"Delete", ui::Text(ui::Child(preview, IDC_DELETE_SELECTED)));
    ASSERT_TRUE(
        WaitForItems(preview, {{L"09:05:03 ", true}, {L"09:12:40 ", true}, {L"10:00:07 ", true}}))
        << testing::PrintToString(Items(preview));
    Sleep(300);
    ui::SavePng(preview, Artefact("three_images.png"));

    // Unchecked: written at once, so the pipe counts one image fewer.
    ClickCheckBox(preview, 1, false);
    EXPECT_EQ((std::vector<int>{1, 0, 1}), StoredSelection(rig));
    ui::SavePng(preview, Artefact("one_unchecked.png"));

    // While the acquisition thread reads an image the wait cursor stays; afterwards the usual one.
    const auto setCursor = [&] {
        return SendMessageW(preview, WM_SETCURSOR, reinterpret_cast<WPARAM>(preview), HTCLIENT);
    };
    EXPECT_EQ(1, SendMessageW(preview, UM_VIEW_BUSY, 1, 0));
    EXPECT_EQ(TRUE, setCursor()) << "handled: the wait cursor is kept";
    EXPECT_EQ(1, SendMessageW(preview, UM_VIEW_BUSY, 0, 0));
    EXPECT_EQ(FALSE, setCursor());

    // A second "View Images" brings the same window forward.
    EXPECT_EQ(preview, program.OpenPreview(L"Image view"));

    // The imaging program fetches: the two checked ones, oldest first; the list follows.
    const fs::path fetched = rig.Work() / "fetched";
    ASSERT_EQ(0,
              rig.RunTool(L"qorpipe.exe", L"fetch --out \"" + fetched.wstring() + L"\"", kWaitMs));
    EXPECT_TRUE(e2e::ReadFileBytes(fetched / "image_001.bmp") == first);
    EXPECT_TRUE(e2e::ReadFileBytes(fetched / "image_002.bmp") == third);
    EXPECT_FALSE(fs::exists(fetched / "image_003.bmp"));
    ASSERT_TRUE(WaitForItems(preview, {{L"09:12:40 ", false}}))
        << testing::PrintToString(Items(preview));

    // Select all and deselect all are written at once; with nothing checked nothing is asked.
    ui::Press(preview, IDC_SELECT_ALL);
    ASSERT_TRUE(WaitForItems(preview, {{L"09:12:40 ", true}}));
    EXPECT_EQ((std::vector<int>{1}), StoredSelection(rig));
    ui::Press(preview, IDC_DESELECT_ALL);
    ASSERT_TRUE(WaitForItems(preview, {{L"09:12:40 ", false}}));
    EXPECT_EQ((std::vector<int>{0}), StoredSelection(rig));
    ui::Press(preview, IDC_DELETE_SELECTED);
    EXPECT_EQ(nullptr, WaitForOwnWindow(L"QOR APP", 500)) << "no question without a checked image";

    // Delete: No keeps the image.
    ui::Press(preview, IDC_SELECT_ALL);
    ui::Press(preview, IDC_DELETE_SELECTED);
    AnswerDeleteQuestion(kConfirmSecondButtonId, "delete_question.png");
    EXPECT_EQ((std::vector<Item>{{L"09:12:40 ", true}}), Items(preview));

    // A new image (the tray's test mode) arrives checked while the question is open: Yes deletes
    // only the image that was checked when it was asked.
    const fs::path asked = rig.StoredFiles().at(0);
    ui::Press(preview, IDC_DELETE_SELECTED);
    ASSERT_NE(nullptr, WaitForOwnWindow(L"QOR APP", kWaitMs));
    PostMessageW(program.App().Window(), WM_COMMAND, IDM_TEST_MODE, 0);
    ASSERT_TRUE(ui::WaitUntil([&] { return Items(preview).size() == 2; }, kWaitMs));
    AnswerDeleteQuestion(kConfirmFirstButtonId);
    ASSERT_TRUE(ui::WaitUntil([&] { return Items(preview).size() == 1; }, kWaitMs));
    EXPECT_TRUE(Items(preview)[0].checked);
    EXPECT_FALSE(fs::exists(asked));
    EXPECT_EQ(1u, rig.StoredFiles().size());
    Sleep(300);
    ui::SavePng(preview, Artefact("new_image.png"));

    // The last image deleted: an empty list and no images icon.
    ui::Press(preview, IDC_DELETE_SELECTED);
    AnswerDeleteQuestion(kConfirmFirstButtonId);
    ASSERT_TRUE(WaitForItems(preview, {}));
    EXPECT_TRUE(ui::WaitUntil([&] { return !program.App().ImagesIconShown(); }, kWaitMs));
    EXPECT_TRUE(rig.StoredFiles().empty());

    // Closed with its close button, opened again, and left open while the program exits.
    PostMessageW(preview, WM_CLOSE, 0, 0);
    ASSERT_TRUE(ui::WaitGone(preview, kWaitMs));
    preview = program.OpenPreview(L"Image view");
    ASSERT_NE(nullptr, preview);
}

// A full store of 64 images, in German with a folder where the thumbnail file should be (the
// pictures then come from memory) and in French with the file: every item and picture, the list
// scrolls to the last one uncut, "Delete All Images" empties it, and the time the preview takes
// to open is reported.
TEST(QorAppPreview, SixtyFourImagesUnwritableThumbnailFileAndLanguages) {
    struct LanguageCase {
        DWORD id;
        const char* name;
        std::wstring caption, selectAll, deselectAll, remove;
        bool thumbnailFileWritable;
    };
    constexpr int kImages = 64;
    const std::vector<LanguageCase> cases = {
        {1031, "german", L"Bildansicht", L"Alle auswählen", L"Auswahl aufheben", L"Löschen", false},
        {1036, "french", L"Visionneuse d'images", L"Tout sélectionner", L"Tout désélectionner",
         L"Supprimer", true},
    };
    for (const LanguageCase& language : cases) {
        SCOPED_TRACE(language.name);
        e2e::QorAppRig rig(std::string("preview_") + language.name);
        // The log of this process is opened once; here it is this run's.
        const std::string logPath = (rig.Work() / "QorAPPLog.txt").string();
        TheLogFile().Close();
        ASSERT_EQ(1, TheLogFile().Open(logPath.c_str(), 0));
        {
            rig.Registry().SetDword(L"LanguageID", language.id);
            for (int i = 0; i < kImages; ++i) {
                SeedImage(rig.Work(), i, 11, i / 60, i % 60, 0, i % 3 != 0);
            }
            // A folder by the thumbnail file's name: the file can neither be created nor written.
            if (!language.thumbnailFileWritable) {
                fs::create_directories(rig.Work() / "8bppThumbnailImg.bmp");
            }
            RunningApp program(rig);

            // "View Images" sent, not posted: it returns once the window is built and filled.
            // Opened and closed three times; each time is reported.
            HWND preview = nullptr;
            for (int round = 0; round < 3; ++round) {
                if (preview != nullptr) {
                    PostMessageW(preview, WM_CLOSE, 0, 0);
                    ASSERT_TRUE(ui::WaitGone(preview, kWaitMs));
                }
                const auto start = std::chrono::steady_clock::now();
                SendMessageW(program.App().Window(), WM_COMMAND, IDM_VIEW_IMAGES, 0);
                const double openMs = std::chrono::duration<double, std::milli>(
                                          std::chrono::steady_clock::now() - start)
                                          .count();
                std::printf("preview with 64 images (%s) open in %.1f ms\n", language.name, openMs);
                preview = WaitForOwnWindow(language.caption, kWaitMs);
                ASSERT_NE(nullptr, preview);
            }
            ASSERT_EQ(kImages, static_cast<int>(Items(preview).size()));
            EXPECT_EQ(language.selectAll, ui::Text(ui::Child(preview, IDC_SELECT_ALL)));
            EXPECT_EQ(language.deselectAll, ui::Text(ui::Child(preview, IDC_DESELECT_ALL)));
            EXPECT_EQ(language.remove, ui::Text(ui::Child(preview, IDC_DELETE_SELECTED)));
            const auto items = Items(preview);
            for (int i = 0; i < kImages; ++i) {
                wchar_t text[16];
                std::swprintf(text, std::size(text), L"11:%.2d:%.2d ", i / 60, i % 60);
                EXPECT_EQ((Item{text, i % 3 != 0}), items[static_cast<size_t>(i)]) << i;
            }
            Sleep(300);
            ui::SavePng(preview, Artefact(std::string(language.name) + ".png"));

            // The last item can be scrolled into view and is not cut by the list's border.
            HWND list = ui::Child(preview, IDC_IMAGE_LIST);
            const int last = kImages - 1;
            SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(last), FALSE);
            RECT item{};
            item.left = LVIR_BOUNDS;
            SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(last),
                         reinterpret_cast<LPARAM>(&item));
            RECT client{};
            GetClientRect(list, &client);
            EXPECT_GE(item.left, client.left);
            EXPECT_LE(item.right, client.right);
            EXPECT_GE(item.top, client.top);
            EXPECT_LE(item.bottom, client.bottom);
            Sleep(300);
            ui::SavePng(preview, Artefact(std::string(language.name) + "_scrolled.png"));

            // "Delete All Images" from the tray empties the open preview.
            PostMessageW(program.App().Window(), WM_COMMAND, IDM_DELETE_ALL_IMAGES, 0);
            HWND question = WaitForOwnWindow(L"QOR APP", kWaitMs);
            ASSERT_NE(nullptr, question);
            ui::Press(question, kConfirmFirstButtonId);
            EXPECT_TRUE(WaitForItems(preview, {}));
        }
        TheLogFile().Close();
        std::ifstream in(logPath);
        const std::string log((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
        EXPECT_EQ(!language.thumbnailFileWritable,
                  log.find("CImageView::UpdateImageView(): fp = NULL") != std::string::npos);
    }
}

} // namespace
