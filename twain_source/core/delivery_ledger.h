// What the source knows about the image it is handing over, so that an image leaves QOR APP's
// store only once the imaging program has it. The image is announced (still in the store),
// lent for a transfer (a copy in the source, still in the store), then delivered (the program
// has it: its confirmation is owed to QOR APP until it has been sent). An image that fails or
// is skipped stays in the store and is passed over for the rest of the session, so that the
// program's count of images still to come always reaches 0.
#pragma once
#include <cstdint>
#include <optional>

namespace qor::twain {

struct LentImageKey {
    int32_t nImageId = 0;
    uint32_t nCrc32 = 0;
    bool operator==(const LentImageKey&) const = default;
};

enum class CurrentImage { None, Announced, Lent, Delivered };

class CDeliveryLedger {
public:
    void Announce() { m_current = CurrentImage::Announced; }
    // A copy is in the source; `key` is absent for the disk queue, which cannot lend.
    void Lent(std::optional<LentImageKey> key) {
        m_current = CurrentImage::Lent;
        m_lent = key;
    }
    // The program has the image. A confirmation is owed for a lent pipe image.
    void Delivered();
    // The transfer failed: the image is still announced, a new transfer lends it again.
    void TransferFailed();
    // MSG_ENDXFER: an image not delivered is passed over (it stays in the store).
    void EndTransfer();
    // MSG_RESET, MSG_DISABLEDS, MSG_CLOSEDS: the current image is forgotten (it stays in the store).
    void Forget() {
        m_current = CurrentImage::None;
        m_lent.reset();
    }
    // A new session passes over nothing yet; an owed confirmation survives it.
    void NewSession() {
        Forget();
        m_nPassedOver = 0;
    }

    CurrentImage Current() const { return m_current; }
    const std::optional<LentImageKey>& Owed() const { return m_owed; }
    void ConfirmationSent() { m_owed.reset(); }
    int PassedOver() const { return m_nPassedOver; }
    // The program's count: the images QOR APP holds that this session may still deliver, and the
    // delivered image in hand until MSG_ENDXFER.
    int PendingCount(int32_t inApplication) const;

private:
    CurrentImage m_current = CurrentImage::None;
    std::optional<LentImageKey> m_lent;
    std::optional<LentImageKey> m_owed;
    int m_nPassedOver = 0;
};

}  // namespace qor::twain
