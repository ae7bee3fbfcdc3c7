// What the source knows about the image it is handing over, so that an image leaves QOR APP's
// store only once the imaging program has it, and a skipped image never comes back in the same
// session. The image is announced (still in the store), lent for a transfer (a copy in the
// source, still in the store) or taken (a copy out of a store that cannot lend: an earlier QOR
// APP, or the disk queue), then delivered. A lent image is confirmed to QOR APP before the program
// gets it; a confirmation that could not be sent is owed until it has been. An image that fails or
// is skipped stays in the store and is passed over by its id for the rest of the session: QOR APP
// leaves the passed-over ids out of its count and out of what it lends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qor::twain {

struct LentImageKey {
    int32_t nImageId = 0;
    uint32_t nCrc32 = 0;
    bool operator==(const LentImageKey&) const = default;
};

enum class CurrentImage { None, Announced, Lent, Delivered };

class CDeliveryLedger {
public:
    // As many ids as one request to QOR APP may name: far more than its store holds.
    static constexpr size_t kMaxPassedOver = 128;

    // The oldest image QOR APP holds for this session; its id when QOR APP says it (0: unknown).
    void Announce(int32_t imageId = 0) {
        m_current = CurrentImage::Announced;
        m_nAnnouncedId = imageId;
        m_lent.reset();
    }
    // A copy is in the source; `key` is absent for a taken image (no longer in QOR APP's store).
    void Lent(std::optional<LentImageKey> key) {
        m_current = CurrentImage::Lent;
        m_lent = key;
        if (key) m_nAnnouncedId = key->nImageId;
    }
    // The program has the image. `confirmed`: QOR APP was told and has let it go; otherwise a
    // confirmation is owed for a lent image.
    void Delivered(bool confirmed);
    // QOR APP no longer has the lent image (the dentist deleted it): it must not reach the program
    // and is not passed over (there is nothing left to pass over).
    void Withdrawn();
    // The transfer failed: a lent image is announced again, a new transfer lends it again; a taken
    // image stays in hand (it is the only copy).
    void TransferFailed();
    // MSG_ENDXFER: an image in the store and not delivered is passed over.
    void EndTransfer();
    // MSG_RESET, MSG_DISABLEDS, MSG_CLOSEDS: the current image is forgotten (it stays in the store).
    void Forget() {
        m_current = CurrentImage::None;
        m_lent.reset();
        m_nAnnouncedId = 0;
    }
    // A new session passes over nothing yet; an owed confirmation survives it.
    void NewSession() {
        Forget();
        m_passedOver.clear();
    }

    CurrentImage Current() const { return m_current; }
    // The key of the image lent now (absent for a taken image or when nothing is lent).
    const std::optional<LentImageKey>& LentKey() const { return m_lent; }
    const std::optional<LentImageKey>& Owed() const { return m_owed; }
    void ConfirmationSent() { m_owed.reset(); }
    // Oldest first.
    const std::vector<int32_t>& PassedOver() const { return m_passedOver; }
    // The program's count: the images QOR APP holds for this session (passed-over ones already
    // left out by QOR APP), and the delivered image in hand until MSG_ENDXFER.
    int PendingCount(int32_t inApplication) const;

private:
    void PassOver(int32_t imageId);

    CurrentImage m_current = CurrentImage::None;
    int32_t m_nAnnouncedId = 0;
    std::optional<LentImageKey> m_lent;
    std::optional<LentImageKey> m_owed;
    std::vector<int32_t> m_passedOver;
};

}  // namespace qor::twain
