#include "twain_source/core/delivery_ledger.h"

#include <algorithm>

namespace qor::twain {

void CDeliveryLedger::Delivered(bool confirmed) {
    if (m_current != CurrentImage::Lent) return;
    m_current = CurrentImage::Delivered;
    if (m_lent && !confirmed) m_owed = m_lent;
    m_lent.reset();
}

void CDeliveryLedger::Withdrawn() {
    if (m_current != CurrentImage::Lent) return;
    Forget();
}

void CDeliveryLedger::TransferFailed() {
    // A taken image has already left the store: its copy here is the one to try again.
    if (m_current != CurrentImage::Lent || !m_lent) return;
    m_current = CurrentImage::Announced;
    m_lent.reset();
}

void CDeliveryLedger::EndTransfer() {
    // Only an image still in the store is passed over; a taken one is already out of it.
    const bool inStore = m_current == CurrentImage::Announced || (m_current == CurrentImage::Lent && m_lent);
    if (inStore && m_nAnnouncedId != 0) PassOver(m_nAnnouncedId);
    Forget();
}

void CDeliveryLedger::PassOver(int32_t imageId) {
    if (std::find(m_passedOver.begin(), m_passedOver.end(), imageId) != m_passedOver.end()) return;
    // The oldest ids name images long gone from a store of 64.
    if (m_passedOver.size() == kMaxPassedOver) m_passedOver.erase(m_passedOver.begin());
    m_passedOver.push_back(imageId);
}

int CDeliveryLedger::PendingCount(int32_t inApplication) const {
    return std::max(0, static_cast<int>(inApplication)) + (m_current == CurrentImage::Delivered ? 1 : 0);
}

}  // namespace qor::twain
