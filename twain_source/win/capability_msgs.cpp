#include "twain_source/win/capability_msgs.h"

#include <cstring>

#include "common/core/log_file.h"
#include "twain_source/win/manager_link.h"

TW_UINT16 CapabilityMsg(TripletRecord& t) {
    TheLogFile().Write(LOG_INFO, "CapabilityMsg\n");
    auto* cap = static_cast<pTW_CAPABILITY>(t.pData);
    if (cap == nullptr) {
        g_session.conditionCode = TWCC_BADVALUE;
        return TWRC_FAILURE;
    }
    const qor::twain::AppProtocol protocol = SessionProtocol();
    const uint8_t* container = nullptr;
    size_t containerSize = 0;
    if (t.MSG == MSG_SET && cap->hContainer != nullptr) {
        container = static_cast<const uint8_t*>(LockForProgram(cap->hContainer));
        // Both kinds of memory a program may hand over are global blocks on Windows.
        containerSize = container ? GlobalSize(cap->hContainer) : 0;
    }
    qor::twain::CapabilityAnswer answer =
        g_session.capabilities.Handle(cap->Cap, t.MSG, cap->ConType, container, containerSize, protocol);
    if (container != nullptr) UnlockForProgram(cap->hContainer);
    if (t.MSG == MSG_SET && cap->hContainer != nullptr && container == nullptr) answer.returnCode = TWRC_FAILURE;
    if (!answer.container.empty()) {
        TW_HANDLE block = CopyForProgram(answer.container.data(), answer.container.size());
        if (block == nullptr) {
            g_session.conditionCode = TWCC_LOWMEMORY;
            return TWRC_FAILURE;
        }
        cap->ConType = answer.conType;
        cap->hContainer = block;
    }
    g_session.conditionCode = answer.conditionCode;
    return answer.returnCode;
}
