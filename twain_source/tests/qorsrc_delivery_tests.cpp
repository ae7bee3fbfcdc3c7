// QORSRC against a stand-in QOR APP (fake_qor_app.exe, installed as "QOR APP.exe" in a test
// installation folder): an image leaves the store only once the program has it, QOR APP starts in
// its own folder, the status line, and servers that misbehave or are not QOR APP at all. Driven
// through DS_Entry as a manager would; the "imaging program" runs in a folder of its own.
#include "twain_source/tests/delivery_rig.h"

using namespace delivery_rig;

TEST_F(Delivery, ImagesLeaveTheStoreOnlyWhenTheProgramHasThem) {
    struct Case {
        const char* name;
        std::function<void(Delivery&)> run;
        int stored;  // QOR APP's store afterwards (four images at the start)
    };
    const Case cases[] = {
        {"image information, then MSG_RESET",
         [](Delivery& t) {
             TW_IMAGEINFO info{};
             EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
             EXPECT_EQ(info.ImageWidth, 8);
             TW_PENDINGXFERS pending{};
             EXPECT_EQ(t.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
         },
         4},
        {"image information, then MSG_DISABLEDS",
         [](Delivery& t) {
             TW_IMAGEINFO info{};
             EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
             t.Disable();
         },
         4},
        {"image information, then MSG_CLOSEDS",
         [](Delivery& t) {
             TW_IMAGEINFO info{};
             EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
             t.enabled = false;
             t.EndSession();
         },
         4},
        {"a file target that cannot be written, then MSG_ENDXFER until none is left",
         [](Delivery& t) {
             const fs::path folder = t.host / "gone";
             fs::create_directories(folder);
             TW_SETUPFILEXFER setup{};
             std::strcpy(setup.FileName, (folder / "image.bmp").string().c_str());
             EXPECT_EQ(t.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
             fs::remove_all(folder);
             int rounds = 0, count = 1;
             while (count > 0 && rounds < 10) {
                 ++rounds;
                 EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
                 count = t.EndXfer();
             }
             EXPECT_EQ(rounds, 4) << "the count of images to come must reach 0 once each was tried";
         },
         4},
        {"four native transfers",
         [](Delivery& t) {
             std::vector<int> received;
             std::vector<int> counts;
             for (int i = 0; i < 4; ++i) {
                 int pixel = -1;
                 EXPECT_EQ(t.Native(&pixel), TWRC_XFERDONE);
                 received.push_back(pixel);
                 counts.push_back(t.EndXfer());
             }
             EXPECT_EQ(received, (std::vector<int>{16, 32, 48, 64}));
             EXPECT_EQ(counts, (std::vector<int>{3, 2, 1, 0}));
         },
         0},
        {"a memory transfer, then MSG_RESET",
         [](Delivery& t) {
             std::vector<uint8_t> buffer(65535);
             TW_IMAGEMEMXFER xfer{};
             xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
             xfer.Memory.Length = static_cast<TW_UINT32>(buffer.size());
             xfer.Memory.TheMem = buffer.data();
             EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer), TWRC_XFERDONE);
             EXPECT_EQ(t.Stored(), 3) << "the last strip delivers the image";
             TW_PENDINGXFERS pending{};
             EXPECT_EQ(t.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
         },
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallFake("store", 4);
        StartFake();
        Enable(false);
        ASSERT_TRUE(WaitForXferReady()) << "four stored images were not announced";
        c.run(*this);
        EXPECT_EQ(Stored(), c.stored);
        EndSession();
        EXPECT_EQ(Stored(), c.stored) << "after the session";
        StopFakes();
    }
    // Nothing of the patient's images in the imaging program's folder, and the folder is its own.
    EXPECT_TRUE(fs::is_empty(host)) << "the source left files in the program's current folder";
    EXPECT_TRUE(SamePath(fs::current_path(), host));
}

// Sessions in which images are skipped, withdrawn or fetched from an earlier QOR APP: the program
// receives exactly the images it should, in order, and none that was skipped or deleted.
TEST_F(Delivery, EachSessionDeliversTheRightImagesInOrder) {
    const auto skipAfterInfo = [](Delivery& t) {
        TW_IMAGEINFO info{};
        EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        return t.EndXfer();
    };
    const auto skipByFailedFile = [](Delivery& t) {
        TW_SETUPFILEXFER setup{};
        std::strcpy(setup.FileName, (t.host / "kept.bmp").string().c_str());
        EXPECT_EQ(t.Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
        fs::create_directories(t.host / "kept.bmp");  // a folder where the file should go
        EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
        fs::remove_all(t.host / "kept.bmp");
        return t.EndXfer();
    };
    struct Case {
        const char* name;
        const char* mode;
        int images;
        std::function<int(Delivery&)> first;  // what the program does with the first offer; the count after it
        int countAfterFirst;
        std::vector<int> received;  // then native transfers until the count is 0 (first pixels)
        int stored;                 // left in QOR APP's store
        int keptInImages;           // images kept in the Images folder (taken from an earlier QOR APP)
    };
    const Case cases[] = {
        {"A skipped after DAT_IMAGEINFO: B, C, D follow, A stays", "store", 4, skipAfterInfo, 3, {32, 48, 64}, 1, 0},
        {"A skipped by a failed file transfer: B, C, D follow", "store", 4, skipByFailedFile, 3, {32, 48, 64}, 1, 0},
        {"A skipped without a transfer: B, C follow", "store", 3, [](Delivery& t) { return t.EndXfer(); }, 2, {32, 48},
         1, 0},
        {"A deleted in QOR APP while lent: never handed over, B follows", "withdraw", 2,
         [](Delivery& t) {
             TW_HANDLE handle = nullptr;
             EXPECT_EQ(t.Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_FAILURE);
             EXPECT_EQ(handle, nullptr);
             EXPECT_EQ(t.Condition(), TWCC_OPERATIONERROR);
             return t.EndXfer();
         },
         1, {32}, 0, 0},
        {"an earlier QOR APP: every image, fetched as it knows", "earlier", 3,
         [](Delivery& t) {
             int pixel = -1;
             EXPECT_EQ(t.Native(&pixel), TWRC_XFERDONE);
             EXPECT_EQ(pixel, 16);
             return t.EndXfer();
         },
         2, {32, 48}, 0, 0},
        {"an earlier QOR APP, A skipped: kept in the Images folder, B and C follow", "earlier", 3, skipAfterInfo, 2,
         {32, 48}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(install);
        fs::create_directories(install / "Images");
        InstallFake(c.mode, c.images);
        StartFake();
        Enable(false);
        ASSERT_TRUE(WaitForXferReady()) << "the stored images were not announced";
        EXPECT_EQ(c.first(*this), c.countAfterFirst);
        std::vector<int> received;
        for (int round = 0; round < 6; ++round) {
            int pixel = -1;
            if (Native(&pixel) != TWRC_XFERDONE) break;
            received.push_back(pixel);
            if (EndXfer() == 0) break;
        }
        EXPECT_EQ(received, c.received);
        EXPECT_EQ(Stored(), c.stored);
        const auto kept = std::distance(fs::directory_iterator(install / "Images"), fs::directory_iterator());
        EXPECT_EQ(kept, c.keptInImages);
        const std::string commands = FakeState()["commands"];
        if (std::string(c.mode) == "earlier") {
            // After the probe's HELLO, nothing but the two exchanges it knows: no payload it would misread.
            EXPECT_EQ(commands.find_first_of("34567", commands.find("5 ") + 2), std::string::npos) << commands;
        }
        EndSession();
        StopFakes();
    }
}

// MSG_ENDXFER in state 5 offers an image that arrived meanwhile; without one it is a sequence error.
TEST_F(Delivery, EndXferWhileWaitingOffersAnImageThatArrived) {
    InstallFake("late", 300);  // not running: the source starts it, its one image comes late
    Enable(false);
    TW_PENDINGXFERS pending{};
    EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    for (int i = 0; i < 100 && !WaitNamedPipeW(kPipe, 100); ++i) Sleep(50);
    pending = {};
    EXPECT_EQ(Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
    EXPECT_EQ(pending.Count, 1);
    int pixel = -1;
    EXPECT_EQ(Native(&pixel), TWRC_XFERDONE) << "MSG_ENDXFER's offer did not lead to state 6";
    EXPECT_EQ(pixel, 16);
}

// Another client on QOR APP's pipe is not a missing QOR APP: the source waits for the pipe and
// starts no second QOR APP.
TEST_F(Delivery, ABusyPipeIsWaitedForAndNoSecondQorAppStarts) {
    InstallFake("store", 1);
    StartFake();
    const std::string pid = FakeState()["pid"];
    HANDLE other = CreateFileW(kPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    BoxCounter boxes;
    Enable(true);
    EXPECT_FALSE(WaitForXferReady(4000)) << "an image came through a pipe held by another client";
    EXPECT_EQ(FakeState()["pid"], pid) << "a second QOR APP was started";
    CloseHandle(other);
    ASSERT_TRUE(WaitForXferReady()) << "the image was not announced once the pipe was free";
    int pixel = -1;
    EXPECT_EQ(Native(&pixel), TWRC_XFERDONE);
    EXPECT_EQ(pixel, 16);
    EXPECT_EQ(boxes.Total(), 0u) << (boxes.Texts().empty() ? "" : boxes.Texts().front());
}

TEST_F(Delivery, AConfirmationLostWithThePipeIsSentFirstAtTheNextOpening) {
    // The stand-in drops the connection instead of answering the first confirmation.
    InstallFake("store-dropconfirm", 2);
    StartFake();
    Enable(false);
    ASSERT_TRUE(WaitForXferReady());
    int first = -1, second = -1;
    EXPECT_EQ(Native(&first), TWRC_XFERDONE);
    EXPECT_EQ(EndXfer(), 1) << "the delivered image must not be counted again";
    EXPECT_EQ(Native(&second), TWRC_XFERDONE);
    EXPECT_EQ(first, 16);
    EXPECT_EQ(second, 32) << "the delivered image was offered twice";
    EXPECT_EQ(EndXfer(), 0);
    EXPECT_EQ(Stored(), 0);
    // The second connection begins with the confirmation (command 4), before anything is asked.
    const std::string commands = FakeState()["commands"];
    const size_t second_connection = commands.find("| ", commands.find("4 "));
    ASSERT_NE(second_connection, std::string::npos) << commands;
    EXPECT_EQ(commands.substr(second_connection + 2, 6), "5 1 4 ") << "the owed confirmation first: " << commands;
    EXPECT_EQ(commands.find("2 "), std::string::npos) << "an image was taken out of the store: " << commands;
}

TEST_F(Delivery, QorAppStartsInItsOwnFolderAndTheProgramsFolderStaysItsOwn) {
    InstallFake("store", 1);  // not running: the source starts it
    Enable(false);
    ASSERT_TRUE(WaitForXferReady()) << "the started QOR APP's image was not announced";
    int pixel = -1;
    EXPECT_EQ(Native(&pixel), TWRC_XFERDONE);
    EXPECT_EQ(pixel, 16);
    EXPECT_TRUE(SamePath(FakeState()["cwd"], install)) << "QOR APP's current folder: " << FakeState()["cwd"];
    EXPECT_TRUE(SamePath(fs::current_path(), host)) << "the program's current folder became " << fs::current_path();
    EXPECT_TRUE(fs::is_empty(host)) << "the source left files in the program's current folder";
}

TEST_F(Delivery, StatusLineCountsTheImageOffered) {
    InstallFake("store", 3);
    StartFake();
    Enable(true);
    ASSERT_TRUE(WaitForXferReady());
    std::vector<std::string> lines{StatusLine()};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Native(), TWRC_XFERDONE);
        EndXfer();
        lines.push_back(StatusLine());
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"Transferring Image(s) (1/3) ", "Transferring Image(s) (2/3) ",
                                                "Transferring Image(s) (3/3) ", "No Images Available"}));
}

TEST_F(Delivery, AnImpossibleImageSizeShowsOneBoxThatNeverNests) {
    for (const long size : {0L, 0x7FFFFFFFL}) {
        SCOPED_TRACE("announced size " + std::to_string(size));
        InstallFake("size", size);
        StartFake();
        {
            BoxCounter boxes;
            Enable(true);
            Pump(3000);  // the state-5 wait asks again and again
            EXPECT_EQ(boxes.Total(), 1u);
            EXPECT_EQ(boxes.MostAtOnce(), 1u) << "error boxes opened inside each other";
            for (const std::string& text : boxes.Texts()) EXPECT_EQ(text, kInternalError);
        }
        EndSession();
        StopFakes();
    }
}

TEST_F(Delivery, AServerSendingOneByteAtATimeCannotHoldTheProgram) {
    InstallFake("dribble", 1);
    StartFake();
    Enable(false);
    ASSERT_TRUE(WaitForXferReady());
    EXPECT_EQ(Native(), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_OPERATIONERROR);
    // The stand-in stops after 60 bytes (18 s); the source must have hung up long before.
    Pump(60000, [&](TW_UINT16) { return FakeState()["gone"] == "1" || FakeState()["ranout"] == "1"; });
    EXPECT_EQ(FakeState()["ranout"], "0") << "the source read on while every byte came within its time";
    EXPECT_EQ(FakeState()["gone"], "1");
    EXPECT_EQ(Stored(), 1);
}

TEST_F(Delivery, AnotherProgramServingThePipeIsToldAndGetsNoRequest) {
    const fs::path other = root / "other";
    InstallFake("store", 2, other);  // "QOR APP.exe", but not the installed one
    StartFake(other);
    for (const bool showUi : {true, false}) {
        SCOPED_TRACE(showUi ? "ShowUI TRUE" : "ShowUI FALSE");
        BoxCounter boxes;
        Enable(showUi);
        EXPECT_FALSE(Pump(1500, [](TW_UINT16 message) { return message == MSG_XFERREADY; }));
        EXPECT_EQ(boxes.Total(), showUi ? 1u : 0u);
        for (const std::string& text : boxes.Texts()) EXPECT_EQ(text.rfind(kImpostorText, 0), 0u) << text;
        if (showUi) {
            EXPECT_EQ(StatusLine().rfind(kImpostorText, 0), 0u) << StatusLine();
        }
        Disable();
    }
    const std::string commands = FakeState(other)["commands"];
    EXPECT_EQ(commands.find_first_of("1234567"), std::string::npos) << "the other program was asked: " << commands;
    EXPECT_EQ(FakeState(other)["stored"], "2");
}

// QOR APP started by the source and its pipe not there: the error box after the third attempt
// when QOR APP has ended, after the slow-start limit (20 s) while it still runs, never when the
// pipe comes late (a busy machine: its image is announced) and never without a user interface.
TEST_F(Delivery, AStartedQorAppWithoutItsPipeIsReportedOnceItEndedOrTheLimitPassed) {
    const struct {
        const char* mode;
        long modeMs;
        bool showUi;
        size_t boxes;
        int boxNotBeforeMs;
        int waitMs;
        bool announced;
    } cases[] = {
        {"silent", 0, true, 1, 2500, 10000, false},
        {"silent", 0, false, 0, 0, 6000, false},
        {"late", 6000, true, 0, 0, 20000, true},
        {"silent", 60000, true, 1, 19000, 40000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.modeMs) + (c.showUi ? ", ShowUI TRUE" : ""));
        InstallFake(c.mode, c.modeMs);
        BoxCounter boxes;
        const auto start = std::chrono::steady_clock::now();
        bool announced = false;
        Enable(c.showUi);
        Pump(c.waitMs, [&](TW_UINT16 message) {
            announced = announced || message == MSG_XFERREADY;
            return announced || boxes.Total() > 0;
        });
        const auto waited = std::chrono::steady_clock::now() - start;
        if (c.boxes > 0) {
            EXPECT_GE(waited, std::chrono::milliseconds(c.boxNotBeforeMs)) << "the box came too early";
        }
        Pump(2000);  // attempts go on after the box: no second one
        EXPECT_EQ(boxes.Total(), c.boxes);
        for (const std::string& text : boxes.Texts()) EXPECT_EQ(text, kInternalError);
        EXPECT_EQ(announced, c.announced);
        EndSession();
        StopFakes();
    }
}

TEST_F(Delivery, QueueLibraryWithDecoratedNamesServesWhenQorAppCannotStart) {
    // No "QOR APP.exe" in the installation folder, the maker's kind of queue library there.
    fs::copy_file(BinFolder() / "stavik_decorated.dll", install / "Stavik.dll");
    Enable(false);
    ASSERT_TRUE(WaitForXferReady(3000)) << "the queue library's images were not announced";
    std::vector<int> received;
    for (int i = 0; i < 2; ++i) {
        TW_HANDLE handle = nullptr;
        EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
        if (handle) {
            received.push_back(static_cast<const uint8_t*>(GlobalLock(handle))[40 + 1024]);
            GlobalUnlock(handle);
            GlobalFree(handle);
        }
        EndXfer();
    }
    EXPECT_EQ(received, (std::vector<int>{100, 200}));
}

// The queue library gives an image up when it is read: one the program does not get goes back
// into the store's folder, whole, under a name QOR APP adopts at its next start.
TEST_F(Delivery, AQueueImageTheProgramDidNotGetGoesBackIntoTheStore) {
    struct Case {
        const char* name;
        std::function<void(Delivery&)> end;
        std::vector<int> returned;  // the stand-in's images back in the folder (first pixels)
    };
    const Case cases[] = {
        {"image information, then MSG_RESET and MSG_CLOSEDS",
         [](Delivery& t) {
             TW_PENDINGXFERS pending{};
             EXPECT_EQ(t.Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
             t.EndSession();
         },
         {100}},
        {"image information, then MSG_CLOSEDS", [](Delivery& t) { t.EndSession(); }, {100}},
        // The folder is looked at right after DAT_IMAGEINFO: a program killed now leaves the image.
        {"image information only (the program killed here)", [](Delivery&) {}, {100}},
        {"delivered, then MSG_CLOSEDS",
         [](Delivery& t) {
             EXPECT_EQ(t.Native(), TWRC_XFERDONE);
             t.EndSession();
         },
         {}},
        {"image information, then the source unloaded",
         [](Delivery& t) {
             FreeLibrary(t.module);
             t.module = nullptr;
             t.open = t.enabled = false;
         },
         {100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(install);
        fs::create_directories(install / "Images");
        // No "QOR APP.exe" in the installation folder: the queue library serves.
        fs::copy_file(BinFolder() / "stavik_decorated.dll", install / "Stavik.dll");
        if (module == nullptr) {
            module = LoadLibraryW((BinFolder() / "QORSRC.ds").wstring().c_str());
            FARPROC proc = GetProcAddress(module, "DS_Entry");
            std::memcpy(&entry, &proc, sizeof entry);
        }
        Enable(false);
        ASSERT_TRUE(WaitForXferReady(3000));
        TW_IMAGEINFO info{};
        EXPECT_EQ(Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        c.end(*this);
        std::vector<int> returned;
        for (const auto& file : fs::directory_iterator(install / "Images")) {
            const std::string name = file.path().filename().string();
            EXPECT_GE(FileNumberOfName(name), 0) << name << " is not a name QOR APP adopts";
            std::ifstream in(file.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_EQ(bytes.size(), 1078u + 8u) << name;
            returned.push_back(bytes[1078]);
        }
        EXPECT_EQ(returned, c.returned);
        EndSession();
    }
}
