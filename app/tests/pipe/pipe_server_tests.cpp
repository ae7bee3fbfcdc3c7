// The pipe server end to end: a real store and server end in this process, qorpipe.exe as the
// client in another process. Counts and sizes as announced, images oldest first and byte for
// byte, the store's files and information file after each exchange, and every client fault.
#include "app/tests/pipe/pipe_test_host.h"

#include "common/core/crc32.h"
#include "common/core/pipe_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <thread>

namespace {

constexpr int32_t kFullImageBytes = 1037722;  // 1201 x 861: 1078 + 1204 x 861

std::filesystem::path FileOf(const nlohmann::json& image) {
    const std::string text = image["file"].get<std::string>();
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::wstring OutArgument(const std::filesystem::path& folder) {
    return L"--out \"" + folder.wstring() + L"\"";
}

TEST(PipeServer, AnnouncesTheSelectedImagesAndSendsThemOldestFirst) {
    PipeTestHost host(L"three");
    ASSERT_TRUE(host.Start());
    nlohmann::json reply;
    ASSERT_EQ(0, host.RunClient(L"check", &reply));  // empty store
    EXPECT_EQ(0, reply["pending"]);
    EXPECT_EQ(0, reply["size"]);
    const auto kept = host.AddImage(999, 664, 2, false);
    ASSERT_EQ(0, host.RunClient(L"check", &reply));  // none selected
    EXPECT_EQ(0, reply["pending"]);
    EXPECT_EQ(0, reply["size"]);
    // GET_IMAGES anyway: nothing is written, nothing leaves the store.
    ASSERT_EQ(0, host.RunClient(L"--timeout 500 send --bytes 2 --read 1", &reply));
    EXPECT_TRUE(reply["received"].empty());
    EXPECT_EQ(1u, host.ImageFiles().size());

    const auto first = host.AddImage(999, 664, 1, true);
    const auto second = host.AddImage(1201, 861, 3, true);
    const auto third = host.AddImage(40, 30, 4, true);
    const std::filesystem::path out = host.Folder() / L"fetched";
    nlohmann::json result;
    ASSERT_EQ(0, host.RunClient(L"fetch --count 3 " + OutArgument(out), &result));
    ASSERT_EQ(3u, result["images"].size());
    const std::vector<std::vector<uint8_t>> expected = {first, second, third};
    for (size_t i = 0; i < 3; ++i) {
        const auto& image = result["images"][i];
        EXPECT_EQ(static_cast<int>(3 - i), image["pending_before"]);
        EXPECT_EQ(expected[i].size(), image["bytes"]);
        EXPECT_EQ(expected[i], ReadFileBytes(FileOf(image)));
    }
    EXPECT_EQ(0, result["pending_after"]);
    // Only the unselected image is left: in memory, on disk and in the information file.
    EXPECT_EQ(1, host.PipeImageQueue().GetCount());
    EXPECT_EQ(1u, host.ImageFiles().size());
    EXPECT_EQ(std::vector<std::vector<uint8_t>>{kept}, host.ReloadedImages());
    EXPECT_EQ(3, host.ImagesSent());
    EXPECT_EQ(0, host.StoreEmptied());  // the images icon stays

    host.PipeImageQueue().SetSelection(0, 1);
    ASSERT_EQ(0, host.RunClient(L"fetch " + OutArgument(out), &result));
    ASSERT_EQ(1u, result["images"].size());
    EXPECT_EQ(kept, ReadFileBytes(FileOf(result["images"][0])));
    EXPECT_EQ(0, host.PipeImageQueue().GetCount());
    EXPECT_TRUE(host.ImageFiles().empty());
    EXPECT_TRUE(host.ReloadedImages().empty());
    EXPECT_EQ(1, host.StoreEmptied());  // the images icon goes
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), host.Stop());
}

// LEND_IMAGE and CONFIRM_IMAGE over the real pipe: a lent image stays until it is confirmed
// with its id and CRC-32; a wrong CRC, a repeated confirmation, a client killed in the middle of
// the lent image and a confirmation cut short remove nothing; GET_IMAGES still takes the image.
TEST(PipeServer, LendKeepsConfirmRemovesExactlyOnce) {
    PipeTestHost host(L"lend");
    ASSERT_TRUE(host.Start());
    nlohmann::json reply;
    ASSERT_EQ(0, host.RunClient(L"lend", &reply));  // empty store: id, size and CRC 0
    EXPECT_EQ(0, reply["id"]);
    EXPECT_EQ(0, reply["size"]);
    EXPECT_EQ("0x00000000", reply["crc32"]);

    const auto first = host.AddImage(999, 664, 1, true);
    const auto second = host.AddImage(1201, 861, 2, true);
    const auto files = host.ImageFiles();
    ASSERT_EQ(2u, files.size());
    const std::filesystem::path lent = host.Folder() / L"lent.bmp";
    const std::wstring out = L"--out \"" + lent.wstring() + L"\"";
    for (int round = 0; round < 2; ++round) {  // lending twice lends the same image
        ASSERT_EQ(0, host.RunClient(L"lend " + out, &reply));
        EXPECT_EQ(first, ReadFileBytes(lent));
        EXPECT_EQ(static_cast<int>(first.size()), reply["size"]);
        EXPECT_EQ(2, host.PipeImageQueue().GetCount());
        EXPECT_EQ(files, host.ImageFiles());
    }
    const int id = reply["id"];
    const std::string crc = reply["crc32"];
    char expectedCrc[16];
    std::snprintf(expectedCrc, sizeof expectedCrc, "0x%08X",
                  static_cast<unsigned>(qor::Crc32(first.data(), first.size())));
    EXPECT_EQ(expectedCrc, crc);
    EXPECT_EQ(id, std::stoi(files[0].stem().string()));

    const std::wstring idArgument = L"confirm --id " + std::to_wstring(id);
    struct Confirmation {
        std::wstring crc;
        bool removed;
        int count;
    };
    const unsigned wrong = qor::Crc32(first.data(), first.size()) ^ 0x80u;
    const Confirmation confirmations[] = {
        {std::to_wstring(wrong), false, 2},                    // another CRC: nothing
        {std::wstring(crc.begin(), crc.end()), true, 1},       // the image leaves now
        {std::wstring(crc.begin(), crc.end()), false, 1},      // repeated: nothing more
    };
    for (const Confirmation& c : confirmations) {
        ASSERT_EQ(0, host.RunClient(idArgument + L" --crc " + c.crc, &reply));
        EXPECT_EQ(c.removed, reply["removed"].get<bool>());
        EXPECT_EQ(c.count, host.PipeImageQueue().GetCount());
    }
    EXPECT_EQ(std::vector<std::vector<uint8_t>>{second}, host.ReloadedImages());
    EXPECT_EQ(1u, host.ImageFiles().size());

    // A client killed in the middle of the lent image, and a confirmation whose 8 bytes never
    // come: the image stays, and the server answers the next client.
    EXPECT_EQ(3, host.RunClient(L"lend --abort-after 300000"));
    ASSERT_EQ(0, host.RunClient(L"--timeout 4000 send --bytes 4,1,2 --read 4", &reply));
    EXPECT_TRUE(reply["received"].empty());
    EXPECT_EQ(1, host.PipeImageQueue().GetCount());
    EXPECT_EQ(std::vector<std::vector<uint8_t>>{second}, host.ReloadedImages());

    // The old exchange still takes it.
    const std::filesystem::path fetched = host.Folder() / L"fetched";
    nlohmann::json result;
    ASSERT_EQ(0, host.RunClient(L"fetch " + OutArgument(fetched), &result));
    ASSERT_EQ(1u, result["images"].size());
    EXPECT_EQ(second, ReadFileBytes(FileOf(result["images"][0])));
    EXPECT_EQ(0, host.PipeImageQueue().GetCount());

    // Lend, write, confirm in one run.
    const auto third = host.AddImage(40, 30, 4, true);
    ASSERT_EQ(0, host.RunClient(L"lend --confirm " + out, &reply));
    EXPECT_TRUE(reply["removed"].get<bool>());
    EXPECT_EQ(third, ReadFileBytes(lent));
    EXPECT_EQ(0, host.PipeImageQueue().GetCount());
    EXPECT_TRUE(host.ImageFiles().empty());
    EXPECT_EQ(2, host.StoreEmptied());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), host.Stop());
}

// "--bytes" of qorpipe send for these bytes.
std::wstring BytesArgument(const std::vector<uint8_t>& bytes) {
    std::wstring text = L"--bytes ";
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += (i > 0 ? L"," : L"") + std::to_wstring(bytes[i]);
    }
    return text;
}

std::vector<uint8_t> Joined(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

template <size_t N>
std::vector<uint8_t> Vector(const std::array<uint8_t, N>& bytes) {
    return {bytes.begin(), bytes.end()};
}

std::vector<uint8_t> ExceptRequest(qor::pipe::PipeCommand command, std::vector<int32_t> ids) {
    return qor::pipe::EncodeExceptRequest(command, ids);
}

// HELLO, CHECK_PENDING_EXCEPT and LEND_IMAGE_EXCEPT over the real pipe: the selected images not
// named, oldest first; unselected and unknown ids change nothing; requests sent together are
// answered in order; a first-protocol client's bytes get the replies they always got; an
// impossible list length or a payload that never comes lets the client go without touching the
// store.
TEST(PipeServer, HelloAndExceptionLists) {
    using namespace qor::pipe;
    PipeTestHost host(L"except");
    const auto a = host.AddImage(999, 664, 1, true);
    const auto b = host.AddImage(40, 30, 2, false);
    const auto c = host.AddImage(1201, 861, 3, true);
    const auto d = host.AddImage(64, 48, 4, true);
    const auto files = host.ImageFiles();
    ASSERT_EQ(4u, files.size());
    std::vector<int32_t> id;
    for (const auto& file : files) {
        id.push_back(std::stoi(file.stem().string()));
    }
    const int32_t idA = id[0], idB = id[1], idC = id[2], idD = id[3];
    const auto size = [](const std::vector<uint8_t>& image) { return static_cast<int32_t>(image.size()); };
    const auto list = [](std::initializer_list<int32_t> ids) {
        std::wstring text = L" --except ";
        for (const int32_t one : ids) {
            text += (text.back() == L' ' ? L"" : L",") + std::to_wstring(one);
        }
        return text;
    };
    ASSERT_TRUE(host.Start());
    const std::filesystem::path lent = host.Folder() / L"lent.bmp";
    const std::wstring out = L" --out \"" + lent.wstring() + L"\"";

    struct Exchange {
        std::wstring arguments;
        nlohmann::json expected;                     // these fields of the output
        const std::vector<uint8_t>* image = nullptr;  // the lent image written to --out
    };
    const Exchange exchanges[] = {
        {L"hello", {{"protocol", 2}, {"pending", 3}, {"size", size(a)}}},
        {L"check-except", {{"pending", 3}, {"id", idA}, {"size", size(a)}}},
        {L"check-except" + list({idA}), {{"pending", 2}, {"id", idC}, {"size", size(c)}}},
        {L"check-except" + list({idC, idA}), {{"pending", 1}, {"id", idD}, {"size", size(d)}}},
        {L"check-except" + list({idA, idC, idD}), {{"pending", 0}, {"id", 0}, {"size", 0}}},
        {L"check-except" + list({idB, -1, 999999999, idA}),
         {{"pending", 2}, {"id", idC}, {"size", size(c)}}},
        {L"lend-except" + list({idA}) + out, {{"id", idC}, {"size", size(c)}}, &c},
        {L"lend-except" + list({idC}) + out, {{"id", idA}, {"size", size(a)}}, &a},
        {L"lend-except" + list({idA, idD, idC}), {{"id", 0}, {"size", 0}, {"crc32", "0x00000000"}}},
        {L"lend" + out, {{"id", idA}, {"size", size(a)}}, &a},
        // The first protocol's bytes: HELLO answered first, then the 0x01 reply as always.
        {L"send --bytes 5 --read 8", {{"received", Vector(EncodeHelloReply())}}},
        {L"send --bytes 5,1 --read 16",
         {{"received", Joined({Vector(EncodeHelloReply()), Vector(EncodePendingImages({3, size(a)}))})},
          {"left_over", 0}}},
        {L"send --bytes 1 --read 8",
         {{"received", Vector(EncodePendingImages({3, size(a)}))}, {"left_over", 0}}},
        // Several requests in one write, answered in order.
        {L"send " + BytesArgument(Joined({ExceptRequest(CHECK_PENDING_EXCEPT, {idA}), {HELLO},
                                          ExceptRequest(LEND_IMAGE_EXCEPT, {idA, idC})})) +
             L" --read " + std::to_wstring(12 + 8 + 12 + d.size()),
         {{"received",
           Joined({Vector(EncodePendingExcept({2, idC, size(c)})), Vector(EncodeHelloReply()),
                   Vector(EncodeLendHeader({idD, size(d), qor::Crc32(d.data(), d.size())})), d})},
          {"left_over", 0}}},
    };
    for (const Exchange& e : exchanges) {
        SCOPED_TRACE(std::string(e.arguments.begin(), e.arguments.end()));
        std::error_code ignored;
        std::filesystem::remove(lent, ignored);
        nlohmann::json reply;
        ASSERT_EQ(0, host.RunClient(e.arguments, &reply));
        for (const auto& [key, value] : e.expected.items()) {
            EXPECT_EQ(value, reply[key]) << key;
        }
        if (e.image != nullptr) {
            EXPECT_EQ(*e.image, ReadFileBytes(lent));
        }
        EXPECT_EQ(4, host.PipeImageQueue().GetCount());  // lending and asking remove nothing
    }
    EXPECT_EQ(files, host.ImageFiles());

    // Lent past the first image, confirmed: that one leaves, the order of the others stays.
    nlohmann::json reply;
    ASSERT_EQ(0, host.RunClient(L"lend-except" + list({idA}) + L" --confirm" + out, &reply));
    EXPECT_TRUE(reply["removed"].get<bool>());
    EXPECT_EQ(c, ReadFileBytes(lent));
    ASSERT_EQ(0, host.RunClient(L"check-except" + list({idA}), &reply));
    EXPECT_EQ(1, reply["pending"]);
    EXPECT_EQ(idD, reply["id"]);
    const std::vector<std::vector<uint8_t>> left = {a, b, d};
    EXPECT_EQ(left, host.ReloadedImages());

    // Requests whose length is impossible, or whose payload never comes: no reply, not even to
    // the command bytes after them (a GET_IMAGES among them takes nothing), the client is let go
    // and the next one is served.
    NewLogMessages();
    struct Refused {
        std::vector<uint8_t> bytes;
        const char* logged;
    };
    const Refused refused[] = {
        {{CHECK_PENDING_EXCEPT, 129, 0, 0, 0, CHECK_PENDING_IMAGES},
         "CHECK_PENDING_EXCEPT named 129 image ids (0 to 128 are allowed)"},
        {{LEND_IMAGE_EXCEPT, 0xFF, 0xFF, 0xFF, 0xFF, GET_IMAGES, CHECK_PENDING_IMAGES},
         "LEND_IMAGE_EXCEPT named -1 image ids"},
        {{LEND_IMAGE_EXCEPT, 2, 0, 0, 0, 1, 2, 3, 4},
         "LEND_IMAGE_EXCEPT came without the rest of its request"},
        {{CHECK_PENDING_EXCEPT, 1, 0}, "CHECK_PENDING_EXCEPT came without the rest of its request"},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.logged);
        ASSERT_EQ(0, host.RunClient(L"--timeout 6000 send " + BytesArgument(r.bytes) + L" --read 8",
                                    &reply));
        EXPECT_TRUE(reply["received"].empty());
        EXPECT_NE(std::string::npos, NewLogMessages().find(r.logged));
        ASSERT_EQ(0, host.RunClient(L"check", &reply));
        EXPECT_EQ(2, reply["pending"]);
    }
    EXPECT_EQ(left, host.ReloadedImages());

    // The first protocol's GET_IMAGES after its CHECK_PENDING_IMAGES, byte for byte as always.
    host.PipeImageQueue().SetSelection(0, 0);
    ASSERT_EQ(0, host.RunClient(L"send --bytes 1,2 --read " + std::to_wstring(8 + d.size()), &reply));
    EXPECT_EQ(Joined({Vector(EncodePendingImages({1, size(d)})), d}),
              reply["received"].get<std::vector<uint8_t>>());
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{a, b}), host.ReloadedImages());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), host.Stop());
}

TEST(PipeServer, ClientFaultsNeverLoseAnImage) {
    PipeTestHost host(L"faults");
    const auto image = host.AddImage(1201, 861, 7, true);
    ASSERT_EQ(static_cast<size_t>(kFullImageBytes), image.size());
    const auto storedFiles = host.ImageFiles();
    ASSERT_EQ(1u, storedFiles.size());
    ASSERT_EQ(image, ReadFileBytes(storedFiles[0]));
    ASSERT_TRUE(host.Start());
    NewLogMessages();

    // Connects and closes without a word; the next client is served.
    nlohmann::json reply;
    ASSERT_EQ(0, host.RunClient(L"send", &reply));
    ASSERT_EQ(0, host.RunClient(L"check", &reply));
    EXPECT_EQ(1, reply["pending"]);
    EXPECT_EQ(kFullImageBytes, reply["size"]);

    // Killed in the middle of the image: it stays in memory, on disk under its name and in the
    // information file, in its place.
    const std::filesystem::path out = host.Folder() / L"fetched";
    EXPECT_EQ(3, host.RunClient(L"fetch --abort-after 300000 " + OutArgument(out)));
    EXPECT_TRUE(host.PumpUntil([&] { return host.PipeChannel().IsOpen() &&
                                            !host.PipeChannel().IsConnected(); }, 5000));
    ASSERT_EQ(1, host.PipeImageQueue().GetCount());
    const ImageDataStruct* record = host.PipeImageQueue().GetAt(0);
    EXPECT_EQ(image, std::vector<uint8_t>(record->pImageData, record->pImageData + record->nImageSize));
    EXPECT_EQ(storedFiles, host.ImageFiles());
    EXPECT_EQ(image, ReadFileBytes(storedFiles[0]));
    EXPECT_EQ(std::vector<std::vector<uint8_t>>{image}, host.ReloadedImages());
    EXPECT_NE(std::string::npos, NewLogMessages().find("OnSendImage: the image was not sent"));
    EXPECT_EQ(0, host.ImagesSent());

    // Bytes that are no command get no reply: the 8 bytes read are the reply to the last one.
    ASSERT_EQ(0, host.RunClient(L"send --bytes 0,0x7f,0xff,8,1 --read 8 --hold 300", &reply));
    const auto expected = qor::pipe::EncodePendingImages({1, kFullImageBytes});
    EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.end()),
              reply["received"].get<std::vector<uint8_t>>());
    EXPECT_EQ(0, reply["left_over"]);

    // A hundred clients one after another.
    ASSERT_EQ(0, host.RunClient(L"check --clients 100", &reply));
    EXPECT_EQ(1, reply["pending"]);

    // And the image still arrives whole, equal to the stored file.
    nlohmann::json result;
    ASSERT_EQ(0, host.RunClient(L"fetch " + OutArgument(out), &result));
    ASSERT_EQ(1u, result["images"].size());
    EXPECT_EQ(image, ReadFileBytes(FileOf(result["images"][0])));
    EXPECT_TRUE(host.ImageFiles().empty());
    std::cout << "one 1201 x 861 exchange (CHECK_PENDING_IMAGES + GET_IMAGES): "
              << result["images"][0]["ms"].get<double>() << " ms in "
              << result["images"][0]["reads"] << " read(s)\n";
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), host.Stop());
}

TEST(PipeServer, RepliesStayWholeWhileTheMainThreadChangesTheStore) {
    PipeTestHost host(L"busy");
    for (int i = 0; i < 6; ++i) {
        host.AddImage(100 + 4 * i, 50, i, i % 2 == 0);
    }
    ASSERT_TRUE(host.Start());
    // Every reply is checked by the client: a count without a valid size fails it.
    HANDLE client = host.StartClient(L"check --clients 150");
    ASSERT_NE(nullptr, client);
    int flips = 0;
    host.PumpUntil([&] {
        const int index = flips++ % 6;
        host.PipeImageQueue().SetSelection(index, host.PipeImageQueue().GetAt(index)->bSelected ^ 1);
        return WaitForSingleObject(client, 0) == WAIT_OBJECT_0;
    }, 120000);
    DWORD exitCode = 1;
    GetExitCodeProcess(client, &exitCode);
    CloseHandle(client);
    EXPECT_EQ(0u, exitCode);
    EXPECT_GT(flips, 10);
}

TEST(PipeServer, ClientIsLetGoWhenTheAnnouncedImageIsNoLongerSelected) {
    PipeTestHost host(L"changed");
    host.AddImage(64, 48, 1, true);
    ASSERT_TRUE(host.Start());
    CNamedPipe client;
    client.SetTimeLimit(5000);
    ASSERT_TRUE(client.Create(reinterpret_cast<const wchar_t*>(qor::pipe::kPipeName), 1, L""));
    std::atomic<int> step{0};
    DWORD getError = 0;
    std::thread exchange([&] {
        uint8_t reply[8];
        uint8_t request = qor::pipe::CHECK_PENDING_IMAGES;
        DWORD done = 0;
        client.Write(&request, 1, &done);
        client.Read(reply, 8, &done);
        step = 1;
        while (step != 2) {
            Sleep(5);
        }
        request = qor::pipe::GET_IMAGES;
        std::vector<uint8_t> image(64 * 48 + 1078);
        if (!client.Write(&request, 1, &done) || !client.Read(image.data(), 3126, &done)) {
            getError = GetLastError();
        }
        step = 3;
    });
    host.PumpUntil([&] { return step == 1; }, 10000);
    host.PipeImageQueue().SetSelection(0, 0);
    step = 2;
    host.PumpUntil([&] { return step == 3; }, 10000);
    exchange.join();
    // Not left waiting for ever, and nothing left the store.
    EXPECT_TRUE(getError == ERROR_BROKEN_PIPE || getError == ERROR_PIPE_NOT_CONNECTED) << getError;
    EXPECT_EQ(1, host.PipeImageQueue().GetCount());
    EXPECT_EQ(1u, host.ImageFiles().size());
    EXPECT_NE(std::string::npos, NewLogMessages().find("it is disconnected and must ask again"));
}

TEST(PipeServer, ExitIsNotHeldUpByASilentClient) {
    PipeTestHost host(L"silent");
    host.AddImage(64, 48, 1, true);
    ASSERT_TRUE(host.Start());
    HANDLE client = host.StartClient(L"send --hold 30000");
    ASSERT_NE(nullptr, client);
    EXPECT_TRUE(host.PumpUntil([&] { return host.PipeChannel().IsConnected(); }, 10000));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), host.Stop());
    EXPECT_FALSE(host.PipeChannel().IsOpen());
    TerminateProcess(client, 0);
    WaitForSingleObject(client, 5000);
    CloseHandle(client);
    EXPECT_EQ(1, host.PipeImageQueue().GetCount());
}

TEST(PipeServer, ExitWhileAnImageRequestWaitsForTheMainThread) {
    PipeTestHost host(L"exit-get");
    const auto image = host.AddImage(1201, 861, 1, true);
    ASSERT_TRUE(host.Start());
    const std::filesystem::path out = host.Folder() / L"fetched";
    HANDLE client = host.StartClient(L"fetch --count 1 " + OutArgument(out));
    ASSERT_NE(nullptr, client);
    // The main thread is busy: GET_IMAGES waits in the pipe thread's sent message meanwhile.
    Sleep(3000);
    // The exit's wait handles that message: the image goes out and the thread ends in time.
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), host.Stop());
    WaitForSingleObject(client, 10000);
    CloseHandle(client);
    EXPECT_EQ(0, host.PipeImageQueue().GetCount());
    EXPECT_EQ(image, ReadFileBytes(out / L"image_001.bmp"));
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    OpenTestLog();
    return RUN_ALL_TESTS();
}

// A full store moves its oldest image out to make room, but never the one a connected client
// holds on loan; once that client has gone, the image is an ordinary oldest one again.
TEST(PipeServer, AFullStoreNeverMovesOutTheImageOnLoan) {
    PipeTestHost host(L"loan");
    ASSERT_TRUE(host.Start());
    const auto onLoan = host.AddImage(16, 8, 1, true);
    const auto second = host.AddImage(16, 8, 2, true);
    const std::wstring lend = L"send --bytes 3 --read " + std::to_wstring(qor::pipe::kLendHeaderBytes + onLoan.size());
    HANDLE client = host.StartClient(lend + L" --hold 20000");
    ASSERT_NE(client, nullptr);
    // The lend is chosen on this thread: until the client has its whole reply.
    const std::filesystem::path answer = host.Folder() / L"client.json";
    ASSERT_TRUE(host.PumpUntil(
        [&] { return std::filesystem::exists(answer) && std::filesystem::file_size(answer) > 0; }, 60000));
    for (int seed = 3; seed <= 65; ++seed) host.AddImage(16, 8, seed, true);
    const auto older = [&] {
        std::vector<std::vector<uint8_t>> moved;
        const auto folder = host.Folder() / L"Images" / L"Older Images";
        if (!std::filesystem::exists(folder)) return moved;
        for (const auto& file : std::filesystem::directory_iterator(folder)) moved.push_back(ReadFileBytes(file.path()));
        return moved;
    };
    ASSERT_GE(host.PipeImageQueue().GetCount(), 1);
    const ImageDataStruct* oldest = host.PipeImageQueue().GetAt(0);
    EXPECT_EQ(onLoan, std::vector<uint8_t>(oldest->pImageData, oldest->pImageData + oldest->nImageSize))
        << "the image on loan left the store";
    EXPECT_EQ(std::vector<std::vector<uint8_t>>{second}, older()) << "the oldest image not on loan moves out";

    TerminateProcess(client, 0);
    WaitForSingleObject(client, 10000);
    CloseHandle(client);
    host.PumpUntil([] { return false; }, 1500);  // the server notices the client has gone
    host.AddImage(16, 8, 66, true);
    EXPECT_EQ(2u, older().size()) << "once its client has gone, the image is no longer on loan";
}
