// QORSRC through a TWAIN 2.x manager, driven through DS_Entry as the manager would: its entry
// point, memory and announcements, the 2.x answers, and the 1.x identity after the session.
#include "twain_source/tests/delivery_rig.h"

using namespace delivery_rig;

namespace {

// A 2.x manager's side of DAT_ENTRYPOINT: what the source sends through it and the memory it
// takes from it.
struct FakeManager {
    static inline std::vector<TW_UINT16> messages;  // DAT_NULL messages, in order
    static inline std::set<TW_HANDLE> live;          // handed out and not freed
    static inline int allocations = 0;

    static TW_UINT16 PASCAL Entry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF) {
        if (dg == DG_CONTROL && dat == DAT_NULL) messages.push_back(msg);
        return TWRC_SUCCESS;
    }
    static TW_HANDLE PASCAL Allocate(TW_UINT32 size) {
        TW_HANDLE h = GlobalAlloc(GHND, size);
        ++allocations;
        live.insert(h);
        return h;
    }
    static void PASCAL Free(TW_HANDLE h) {
        live.erase(h);
        GlobalFree(h);
    }
    static TW_MEMREF PASCAL Lock(TW_HANDLE h) { return GlobalLock(h); }
    static void PASCAL Unlock(TW_HANDLE h) { GlobalUnlock(h); }
};

}  // namespace

// Through a 2.x manager: the source says 2.x, takes the manager's entry point before the open,
// announces through it (never by a message the program must fetch), hands over memory from the
// manager's functions, honours CAP_XFERCOUNT, refuses settings outside state 4 without a box,
// shows its settings-only dialog, and after MSG_CLOSEDS is what it was for a 1.x manager.
TEST_F(Delivery, ATwain2ManagerIsUsedForAnnouncementsAndMemory) {
    BoxCounter boxes;
    InstallFake("store", 4);
    StartFake();
    app.ProtocolMajor = 2;
    app.ProtocolMinor = 4;
    TW_ENTRYPOINT manager{};
    manager.Size = sizeof manager - 1;
    EXPECT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &manager), TWRC_FAILURE) << "a short structure";
    manager.Size = sizeof manager;
    manager.DSM_Entry = FakeManager::Entry;
    manager.DSM_MemAllocate = FakeManager::Allocate;
    manager.DSM_MemFree = FakeManager::Free;
    manager.DSM_MemLock = FakeManager::Lock;
    manager.DSM_MemUnlock = FakeManager::Unlock;
    ASSERT_EQ(Call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &manager), TWRC_SUCCESS);
    TW_IDENTITY listed{};
    ASSERT_EQ(entry(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &listed), TWRC_SUCCESS) << "a manager listing sources";
    EXPECT_EQ(listed.ProtocolMajor, 2);
    EXPECT_NE(listed.SupportedGroups & DF_DS2, 0u);
    OpenSource();

    // Settings only in state 4; refusals in a 2.x session come without a box.
    TW_CAPABILITY cap{};
    cap.Cap = CAP_SUPPORTEDDATS;
    ASSERT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS);
    EXPECT_EQ(FakeManager::live.count(cap.hContainer), 1u) << "a container not from the manager's memory";
    FakeManager::Free(cap.hContainer);
    TW_USERINTERFACE ui{};
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDSUIONLY, &ui), TWRC_SUCCESS);
    EXPECT_NE(StatusLine().find("no settings"), std::string::npos) << StatusLine();
    ASSERT_EQ(Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(Stored(), 4) << "the settings dialog asked for images";

    cap = {};
    cap.Cap = CAP_XFERCOUNT;
    cap.ConType = TWON_ONEVALUE;
    cap.hContainer = FakeManager::Allocate(sizeof(TW_ONEVALUE));
    auto* one = static_cast<pTW_ONEVALUE>(GlobalLock(cap.hContainer));
    one->ItemType = TWTY_INT16;
    one->Item = 2;
    GlobalUnlock(cap.hContainer);
    ASSERT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_SUCCESS);
    FakeManager::Free(cap.hContainer);

    Enable(false);
    ASSERT_TRUE(Pump(20000, [](TW_UINT16) { return !FakeManager::messages.empty(); }));
    EXPECT_EQ(FakeManager::messages, std::vector<TW_UINT16>{MSG_XFERREADY});
    EXPECT_EQ(Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap), TWRC_FAILURE);
    EXPECT_EQ(Condition(), TWCC_SEQERROR);
    std::vector<int> counts;
    for (int i = 0; i < 2; ++i) {
        TW_HANDLE handle = nullptr;
        ASSERT_EQ(Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
        EXPECT_EQ(FakeManager::live.count(handle), 1u) << "a bitmap not from the manager's memory";
        FakeManager::Free(handle);
        counts.push_back(EndXfer());
    }
    EXPECT_EQ(counts, (std::vector<int>{1, 0})) << "CAP_XFERCOUNT 2 of 4 stored images";
    EXPECT_EQ(Stored(), 2);
    Pump(500);
    EXPECT_EQ(FakeManager::messages.size(), 1u) << "an image announced beyond the program's count";
    EndSession();
    EXPECT_EQ(boxes.Total(), 0u);

    // The entry point went with the session: a 1.x manager finds the source as it always was.
    TW_IDENTITY after{};
    ASSERT_EQ(entry(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, &after), TWRC_SUCCESS);
    EXPECT_EQ(after.ProtocolMajor, 1);
    EXPECT_EQ(after.SupportedGroups & DF_DS2, 0u);
}
