// TWAINDSM.DLL: a stand-in for the TWAIN 2.x Data Source Manager of a Windows PC. It keeps one
// record per program that opened it (its identity, window and the sources found for it), passes
// the program's triplets to the open source, gives 2.x sources its entry point and memory
// functions, and carries the sources' DAT_NULL messages to the program: through the program's
// callback, or kept for its next MSG_PROCESSEVENT. Calls into a source or a program are made with
// no lock held, because either may call back into the manager from another thread.
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "external/twaindsm/manager_memory.h"
#include "external/twaindsm/source_files.h"
#include "external/twaindsm/triplet_log.h"
#include "external/twaindsm/twain2.h"

extern "C" TW_UINT16 PASCAL DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 dg,
                                      TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF pData);

namespace twaindsm {
namespace {

struct SourceSlot {
    SourceFile file;
    LoadedSource loaded;                 // while the program has the source open
    TW_CALLBACK2 callback{};             // the program's, for messages of this source
    TW_UINT16 waitingMessage = MSG_NULL; // for the next MSG_PROCESSEVENT when there is no callback
};

struct Application {
    TW_IDENTITY identity{};
    HWND window = nullptr;
    std::vector<SourceSlot> sources; // Id n is sources[n - 1]
    size_t nextListed = 0;           // MSG_GETNEXT's position; 0 before MSG_GETFIRST
    TW_UINT32 defaultId = 0;         // set by DAT_IDENTITY MSG_SET; 0: the first source
    TW_UINT16 condition = TWCC_SUCCESS;
};

std::recursive_mutex g_lock;
std::map<TW_UINT32, Application> g_apps;
TW_UINT16 g_condition = TWCC_SUCCESS; // for calls from no known program

Application* FindApp(TW_UINT32 id) {
    auto it = g_apps.find(id);
    return it == g_apps.end() ? nullptr : &it->second;
}

Application* FindApp(const TW_IDENTITY* app) {
    return app != nullptr ? FindApp(app->Id) : nullptr;
}

SourceSlot* FindSlot(Application& app, const TW_IDENTITY* ds) {
    if (ds == nullptr || ds->Id == 0 || ds->Id > app.sources.size())
        return nullptr;
    return &app.sources[ds->Id - 1];
}

TW_UINT16 Fail(Application* app, TW_UINT16 condition) {
    (app != nullptr ? app->condition : g_condition) = condition;
    return TWRC_FAILURE;
}

TW_ENTRYPOINT OurEntryPoint() {
    TW_ENTRYPOINT entry{};
    entry.Size = sizeof entry;
    entry.DSM_Entry = ::DSM_Entry;
    entry.DSM_MemAllocate = MemAllocate;
    entry.DSM_MemFree = MemFree;
    entry.DSM_MemLock = MemLock;
    entry.DSM_MemUnlock = MemUnlock;
    return entry;
}

// A call of the manager's own to a source, logged as such.
TW_UINT16 CallSource(DSENTRYPROC entry, TW_IDENTITY app, TW_UINT16 dat, TW_UINT16 msg,
                     TW_MEMREF data) {
    const TW_UINT16 rc = entry(&app, DG_CONTROL, dat, msg, data);
    LogTriplet("dsm->ds", {DG_CONTROL, dat, msg}, rc, "app=%lu",
               static_cast<unsigned long>(app.Id));
    return rc;
}

TW_UINT16 OpenManager(pTW_IDENTITY app, TW_MEMREF data) {
    if (app->ProductName[0] == '\0')
        return Fail(nullptr, TWCC_BADVALUE);
    HWND window = data != nullptr ? *static_cast<HWND*>(data) : nullptr;
    TW_UINT32 id = 1;
    {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        for (const auto& [key, open] : g_apps) {
            if (std::strncmp(open.identity.ProductName, app->ProductName, sizeof(TW_STR32)) == 0 &&
                open.window == window) {
                return Fail(nullptr, TWCC_SEQERROR);
            }
        }
        while (g_apps.count(id) != 0)
            ++id;
        app->Id = id;
        // As the Working Group's manager does on Windows, every program learns that it speaks to
        // a 2.x manager.
        app->SupportedGroups |= DF_DSM2;
        g_apps[id].identity = *app;
        g_apps[id].window = window;
    }
    // Sources are loaded while the list is made: no lock while they run.
    std::vector<SourceSlot> sources;
    for (SourceFile& file : FindSources(*app))
        sources.push_back(SourceSlot{file, {}, {}, MSG_NULL});
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    if (Application* record = FindApp(id))
        record->sources = std::move(sources);
    return TWRC_SUCCESS;
}

TW_UINT16 CloseSource(TW_UINT32 appId, TW_UINT32 sourceId, bool shutDown);

TW_UINT16 CloseManager(pTW_IDENTITY app) {
    std::vector<TW_UINT32> open;
    {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        Application* record = FindApp(app);
        if (record == nullptr)
            return Fail(nullptr, TWCC_SEQERROR);
        for (const SourceSlot& slot : record->sources) {
            if (slot.loaded.entry != nullptr)
                open.push_back(slot.file.identity.Id);
        }
    }
    // A program that leaves with a source open: the source is walked down and unloaded.
    for (TW_UINT32 sourceId : open)
        CloseSource(app->Id, sourceId, true);
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    g_apps.erase(app->Id);
    return TWRC_SUCCESS;
}

TW_UINT16 OpenSource(TW_UINT32 appId, pTW_IDENTITY ds) {
    TW_IDENTITY app{};
    SourceFile file;
    {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        Application* record = FindApp(appId);
        if (record == nullptr)
            return Fail(nullptr, TWCC_SEQERROR);
        if (record->sources.empty())
            return Fail(record, TWCC_NODS);
        TW_UINT32 wanted = ds->Id;
        if (wanted == 0 && ds->ProductName[0] != '\0') {
            for (const SourceSlot& slot : record->sources) {
                if (std::strncmp(slot.file.identity.ProductName, ds->ProductName,
                                 sizeof(TW_STR32)) == 0) {
                    wanted = slot.file.identity.Id;
                    break;
                }
            }
            // Unlike Wine's manager, an unknown name opens nothing.
            if (wanted == 0)
                return Fail(record, TWCC_NODS);
        }
        if (wanted == 0)
            wanted = record->defaultId != 0 ? record->defaultId : 1;
        if (wanted > record->sources.size())
            return Fail(record, TWCC_NODS);
        SourceSlot& slot = record->sources[wanted - 1];
        if (slot.loaded.entry != nullptr)
            return Fail(record, TWCC_SEQERROR);
        app = record->identity;
        file = slot.file;
    }
    LoadedSource loaded;
    const auto failed = [&](TW_UINT16 condition) {
        UnloadSource(loaded);
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        return Fail(FindApp(appId), condition);
    };
    if (!LoadSource(file.path, loaded) ||
        ReadIdentity(loaded, app, file.identity) != TWRC_SUCCESS) {
        return failed(TWCC_NODS);
    }
    *ds = file.identity;
    if ((file.identity.SupportedGroups & DF_DS2) != 0) {
        TW_ENTRYPOINT entry = OurEntryPoint();
        if (CallSource(loaded.entry, app, DAT_ENTRYPOINT, MSG_SET, &entry) != TWRC_SUCCESS) {
            return failed(TWCC_OPERATIONERROR);
        }
    }
    if (CallSource(loaded.entry, app, DAT_IDENTITY, MSG_OPENDS, ds) != TWRC_SUCCESS) {
        TW_STATUS status{};
        const bool told =
            CallSource(loaded.entry, app, DAT_STATUS, MSG_GET, &status) == TWRC_SUCCESS;
        return failed(told ? status.ConditionCode : TWCC_NODS);
    }
    ds->Id = file.identity.Id;
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    Application* record = FindApp(appId);
    if (record == nullptr)
        return failed(TWCC_SEQERROR);
    SourceSlot& slot = record->sources[file.identity.Id - 1];
    slot.file.identity = file.identity;
    slot.loaded = loaded;
    slot.callback = TW_CALLBACK2{};
    slot.waitingMessage = MSG_NULL;
    return TWRC_SUCCESS;
}

// MSG_CLOSEDS; `shutDown` walks an enabled source down first, for a program that closes the
// manager with its source open.
TW_UINT16 CloseSource(TW_UINT32 appId, TW_UINT32 sourceId, bool shutDown) {
    TW_IDENTITY app{}, ds{};
    LoadedSource loaded;
    {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        Application* record = FindApp(appId);
        if (record == nullptr)
            return Fail(nullptr, TWCC_SEQERROR);
        if (sourceId == 0 || sourceId > record->sources.size())
            return Fail(record, TWCC_BADDEST);
        SourceSlot& slot = record->sources[sourceId - 1];
        if (slot.loaded.entry == nullptr)
            return Fail(record, TWCC_SEQERROR);
        app = record->identity;
        ds = slot.file.identity;
        loaded = slot.loaded;
    }
    if (shutDown) {
        TW_PENDINGXFERS pending{};
        TW_USERINTERFACE ui{};
        CallSource(loaded.entry, app, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        CallSource(loaded.entry, app, DAT_PENDINGXFERS, MSG_RESET, &pending);
        CallSource(loaded.entry, app, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    if (CallSource(loaded.entry, app, DAT_IDENTITY, MSG_CLOSEDS, &ds) != TWRC_SUCCESS &&
        !shutDown) {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        return Fail(FindApp(appId), TWCC_OPERATIONERROR);
    }
    {
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        if (Application* record = FindApp(appId)) {
            SourceSlot& slot = record->sources[sourceId - 1];
            slot.loaded = LoadedSource{};
            slot.callback = TW_CALLBACK2{};
            slot.waitingMessage = MSG_NULL;
        }
    }
    UnloadSource(loaded);
    return TWRC_SUCCESS;
}

TW_UINT16 IdentityMsg(pTW_IDENTITY appId, TW_UINT16 msg, pTW_IDENTITY ds) {
    std::unique_lock<std::recursive_mutex> hold(g_lock);
    Application* app = FindApp(appId);
    if (app == nullptr)
        return Fail(nullptr, TWCC_SEQERROR);
    if (ds == nullptr)
        return Fail(app, TWCC_BADVALUE);
    const auto defaultSlot = [&]() -> const SourceSlot& {
        return app->sources[(app->defaultId != 0 ? app->defaultId : 1) - 1];
    };
    switch (msg) {
    case MSG_GETFIRST:
        if (app->sources.empty())
            return TWRC_ENDOFLIST;
        app->nextListed = 1;
        *ds = app->sources[0].file.identity;
        return TWRC_SUCCESS;
    case MSG_GETNEXT:
        if (app->nextListed == 0)
            return Fail(app, TWCC_SEQERROR);
        if (app->nextListed >= app->sources.size()) {
            app->nextListed = 0;
            return TWRC_ENDOFLIST;
        }
        *ds = app->sources[app->nextListed++].file.identity;
        return TWRC_SUCCESS;
    case MSG_GETDEFAULT:
        if (app->sources.empty())
            return Fail(app, TWCC_NODS);
        *ds = defaultSlot().file.identity;
        return TWRC_SUCCESS;
    case MSG_SET:
        if (ds->Id == 0 || ds->Id > app->sources.size())
            return Fail(app, TWCC_NODS);
        app->defaultId = ds->Id;
        return TWRC_SUCCESS;
    case MSG_USERSELECT:
        // No dialog: the source the program names, else the default, as if the user took it.
        if (app->sources.empty())
            return Fail(app, TWCC_NODS);
        for (const SourceSlot& slot : app->sources) {
            if (ds->ProductName[0] != '\0' &&
                std::strncmp(slot.file.identity.ProductName, ds->ProductName, sizeof(TW_STR32)) ==
                    0) {
                *ds = slot.file.identity;
                return TWRC_SUCCESS;
            }
        }
        *ds = defaultSlot().file.identity;
        return TWRC_SUCCESS;
    case MSG_OPENDS: {
        const TW_UINT32 id = app->identity.Id;
        hold.unlock();
        return OpenSource(id, ds);
    }
    case MSG_CLOSEDS: {
        const TW_UINT32 id = app->identity.Id;
        hold.unlock();
        return CloseSource(id, ds->Id, false);
    }
    default:
        return Fail(app, TWCC_BADPROTOCOL);
    }
}

TW_UINT16 EntryPointMsg(pTW_IDENTITY appId, TW_UINT16 msg, TW_ENTRYPOINT* entry) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    Application* app = FindApp(appId);
    if (msg != MSG_GET)
        return Fail(app, TWCC_BADPROTOCOL);
    if (entry == nullptr || entry->Size != sizeof(TW_ENTRYPOINT))
        return Fail(app, TWCC_BADVALUE);
    if ((appId->SupportedGroups & DF_APP2) == 0)
        return Fail(app, TWCC_BADPROTOCOL);
    *entry = OurEntryPoint();
    return TWRC_SUCCESS;
}

TW_UINT16 RegisterCallback(pTW_IDENTITY appId, pTW_IDENTITY ds, TW_UINT16 dat, TW_UINT16 msg,
                           TW_MEMREF data) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    Application* app = FindApp(appId);
    SourceSlot* slot = app != nullptr ? FindSlot(*app, ds) : nullptr;
    if (msg != MSG_REGISTER_CALLBACK || slot == nullptr)
        return Fail(app, TWCC_BADPROTOCOL);
    if (data == nullptr)
        return Fail(app, TWCC_BADVALUE);
    if (dat == DAT_CALLBACK) {
        const auto* callback = static_cast<const TW_CALLBACK*>(data);
        slot->callback = TW_CALLBACK2{callback->CallBackProc, callback->RefCon, callback->Message};
    } else {
        slot->callback = *static_cast<const TW_CALLBACK2*>(data);
    }
    slot->waitingMessage = MSG_NULL;
    return TWRC_SUCCESS;
}

// DAT_NULL from a source (origin) for its program (destination).
TW_UINT16 SourceMessage(pTW_IDENTITY dsId, pTW_IDENTITY appId, TW_UINT16 msg) {
    std::unique_lock<std::recursive_mutex> hold(g_lock);
    Application* app = FindApp(appId);
    SourceSlot* slot = app != nullptr ? FindSlot(*app, dsId) : nullptr;
    if (slot == nullptr)
        return Fail(app, TWCC_BADPROTOCOL);
    if (msg != MSG_XFERREADY && msg != MSG_CLOSEDSREQ && msg != MSG_CLOSEDSOK &&
        msg != MSG_DEVICEEVENT) {
        return Fail(app, TWCC_BADPROTOCOL);
    }
    if (slot->callback.CallBackProc == nullptr) {
        // Kept for the program's next MSG_PROCESSEVENT; a harmless message wakes its loop.
        if (slot->waitingMessage != MSG_NULL)
            LogLine("lost msg=0x%04x never fetched", slot->waitingMessage);
        slot->waitingMessage = msg;
        if (app->window != nullptr)
            PostMessageW(app->window, WM_NULL, 0, 0);
        return TWRC_SUCCESS;
    }
    DSMENTRYPROC callback;
    static_assert(sizeof callback == sizeof slot->callback.CallBackProc);
    std::memcpy(&callback, &slot->callback.CallBackProc, sizeof callback);
    TW_IDENTITY ds = slot->file.identity, app2 = app->identity;
    const auto refCon = reinterpret_cast<TW_MEMREF>(slot->callback.RefCon);
    hold.unlock();
    const TW_UINT16 rc = callback(&ds, &app2, DG_CONTROL, DAT_NULL, msg, refCon);
    LogTriplet("dsm->app", {DG_CONTROL, DAT_NULL, msg}, rc, "app=%lu ds=%lu by=callback",
               static_cast<unsigned long>(app2.Id), static_cast<unsigned long>(ds.Id));
    return rc;
}

TW_UINT16 ManagerStatus(pTW_IDENTITY appId, TW_UINT16 msg, TW_STATUS* status) {
    std::lock_guard<std::recursive_mutex> hold(g_lock);
    Application* app = FindApp(appId);
    if ((msg != MSG_GET && msg != MSG_CHECKSTATUS) || status == nullptr)
        return Fail(app, TWCC_BADPROTOCOL);
    TW_UINT16& condition = app != nullptr ? app->condition : g_condition;
    *status = TW_STATUS{};
    status->ConditionCode = condition;
    condition = TWCC_SUCCESS;
    return TWRC_SUCCESS;
}

// Everything else goes to the open source, with the manager's copy of the program's identity.
TW_UINT16 PassToSource(pTW_IDENTITY appId, pTW_IDENTITY dsId, const Triplet& t, TW_MEMREF data) {
    std::unique_lock<std::recursive_mutex> hold(g_lock);
    Application* app = FindApp(appId);
    if (app == nullptr)
        return Fail(nullptr, TWCC_SEQERROR);
    SourceSlot* slot = FindSlot(*app, dsId);
    if (slot == nullptr)
        return Fail(app, TWCC_BADPROTOCOL);
    const bool processEvent = t.dat == DAT_EVENT && t.msg == MSG_PROCESSEVENT;
    if (processEvent && data != nullptr && slot->waitingMessage != MSG_NULL) {
        // The kept message answers the event; the source does not see it.
        const TW_UINT16 msg = std::exchange(slot->waitingMessage, MSG_NULL);
        static_cast<TW_EVENT*>(data)->TWMessage = msg;
        LogTriplet("dsm->app", {DG_CONTROL, DAT_NULL, msg}, TWRC_DSEVENT,
                   "app=%lu ds=%lu by=processevent", static_cast<unsigned long>(app->identity.Id),
                   static_cast<unsigned long>(dsId->Id));
        return TWRC_DSEVENT;
    }
    if (slot->loaded.entry == nullptr)
        return Fail(app, TWCC_OPERATIONERROR);
    // No refusal of nested calls: the Working Group's manager lets them through too.
    const DSENTRYPROC entry = slot->loaded.entry;
    TW_IDENTITY app2 = app->identity;
    hold.unlock();
    return entry(&app2, t.dg, t.dat, t.msg, data);
}

TW_UINT16 Dispatch(pTW_IDENTITY origin, pTW_IDENTITY dest, const Triplet& t, TW_MEMREF data) {
    switch (t.dat) {
    case DAT_NULL:
        return SourceMessage(origin, dest, t.msg);
    case DAT_PARENT:
        if (t.msg == MSG_OPENDSM)
            return OpenManager(origin, data);
        if (t.msg == MSG_CLOSEDSM)
            return CloseManager(origin);
        return Fail(nullptr, TWCC_BADPROTOCOL);
    case DAT_ENTRYPOINT:
        return EntryPointMsg(origin, t.msg, static_cast<TW_ENTRYPOINT*>(data));
    case DAT_CALLBACK:
    case DAT_CALLBACK2:
        return RegisterCallback(origin, dest, t.dat, t.msg, data);
    case DAT_STATUS:
        if (dest == nullptr)
            return ManagerStatus(origin, t.msg, static_cast<TW_STATUS*>(data));
        return PassToSource(origin, dest, t, data);
    case DAT_IDENTITY:
        if (dest == nullptr || t.msg == MSG_CLOSEDS)
            return IdentityMsg(origin, t.msg, static_cast<pTW_IDENTITY>(data));
        return PassToSource(origin, dest, t, data);
    default:
        return PassToSource(origin, dest, t, data);
    }
}

// Where a triplet goes, for the log.
const char* RouteOf(const TW_IDENTITY* dest, const Triplet& t) {
    if (t.dat == DAT_NULL)
        return "ds->dsm";
    const bool managers = t.dat == DAT_PARENT || t.dat == DAT_ENTRYPOINT || t.dat == DAT_CALLBACK ||
                          t.dat == DAT_CALLBACK2 ||
                          (t.dat == DAT_IDENTITY && (t.msg == MSG_OPENDS || t.msg == MSG_CLOSEDS));
    return dest == nullptr || managers ? "app->dsm" : "app->ds";
}

} // namespace
} // namespace twaindsm

extern "C" TW_UINT16 PASCAL DSM_Entry(pTW_IDENTITY pOrigin, pTW_IDENTITY pDest, TW_UINT32 dg,
                                      TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF pData) {
    using namespace twaindsm;
    if (pOrigin == nullptr)
        return TWRC_FAILURE;
    const Triplet t{dg, dat, msg};
    TW_UINT16 rc = TWRC_FAILURE;
    try {
        rc = Dispatch(pOrigin, pDest, t, pData);
    } catch (...) {
        // Nothing may leave the manager as an exception.
        std::lock_guard<std::recursive_mutex> hold(g_lock);
        rc = Fail(FindApp(dat == DAT_NULL ? pDest : pOrigin), TWCC_BUMMER);
    }
    LogTriplet(RouteOf(pDest, t), t, rc, "app=%lu ds=%lu",
               static_cast<unsigned long>(dat == DAT_NULL ? (pDest ? pDest->Id : 0) : pOrigin->Id),
               static_cast<unsigned long>(dat == DAT_NULL ? pOrigin->Id : (pDest ? pDest->Id : 0)));
    return rc;
}
