#include "twain_source/core/delivery_ledger.h"

#include <algorithm>

namespace qor::twain {

void CDeliveryLedger::Delivered() {
    if (m_current != CurrentImage::Lent) return;
    m_current = CurrentImage::Delivered;
    if (m_lent) m_owed = m_lent;
    m_lent.reset();
}

void CDeliveryLedger::TransferFailed() {
    // A disk-queue image has already left the queue: its copy here is the one to try again.
    if (m_current != CurrentImage::Lent || !m_lent) return;
    m_current = CurrentImage::Announced;
    m_lent.reset();
}

void CDeliveryLedger::EndTransfer() {
    // Only an image still in the store is passed over (a disk-queue image is no longer counted).
    const bool inStore = m_current == CurrentImage::Announced || (m_current == CurrentImage::Lent && m_lent);
    if (inStore) ++m_nPassedOver;
    Forget();
}

int CDeliveryLedger::PendingCount(int32_t inApplication) const {
    const int waiting = std::max(0, static_cast<int>(inApplication) - m_nPassedOver);
    return waiting + (m_current == CurrentImage::Delivered ? 1 : 0);
}

}  // namespace qor::twain
