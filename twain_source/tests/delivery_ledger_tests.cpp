// The source's ledger of the image it hands over: when a confirmation is owed, what the program's
// count says, and what a failed, skipped or cancelled transfer leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "twain_source/core/delivery_ledger.h"

namespace {

using qor::twain::CDeliveryLedger;
using qor::twain::CurrentImage;
using qor::twain::LentImageKey;

constexpr LentImageKey kImage{123456789, 0xCAFEF00Du};

struct Case {
    const char* name;
    std::vector<std::string> steps;  // announce, lend, lend-disk, deliver, fail, end, forget, session, sent
    int32_t inApplication;           // QOR APP's pending count afterwards
    CurrentImage current;
    bool owed;
    int count;
};

void Apply(CDeliveryLedger& ledger, const std::string& step) {
    if (step == "announce") ledger.Announce();
    else if (step == "lend") ledger.Lent(kImage);
    else if (step == "lend-disk") ledger.Lent(std::nullopt);
    else if (step == "deliver") ledger.Delivered();
    else if (step == "fail") ledger.TransferFailed();
    else if (step == "end") ledger.EndTransfer();
    else if (step == "forget") ledger.Forget();
    else if (step == "session") ledger.NewSession();
    else if (step == "sent") ledger.ConfirmationSent();
    else FAIL() << "unknown step " << step;
}

}  // namespace

TEST(DeliveryLedger, OwedConfirmationsAndCountsAfterEveryKindOfEnd) {
    const Case cases[] = {
        {"announced image counts once", {"announce"}, 3, CurrentImage::Announced, false, 3},
        {"delivered image in hand until MSG_ENDXFER", {"announce", "lend", "deliver"}, 2, CurrentImage::Delivered, true, 3},
        {"delivered then ended", {"announce", "lend", "deliver", "end"}, 2, CurrentImage::None, true, 2},
        {"confirmation sent", {"announce", "lend", "deliver", "sent"}, 2, CurrentImage::Delivered, false, 3},
        {"failed transfer: still announced, lent again later", {"announce", "lend", "fail"}, 4, CurrentImage::Announced, false, 4},
        {"failed then ended: passed over, count reaches 0", {"announce", "lend", "fail", "end"}, 1, CurrentImage::None, false, 0},
        {"four failures in a row leave four images and count 0",
         {"announce", "lend", "fail", "end", "announce", "lend", "fail", "end", "announce", "lend", "fail", "end",
          "announce", "lend", "fail", "end"},
         4, CurrentImage::None, false, 0},
        {"skipped without a transfer is passed over", {"announce", "end"}, 3, CurrentImage::None, false, 2},
        {"lent then cancelled: nothing owed, nothing passed over", {"announce", "lend", "forget"}, 3, CurrentImage::None, false, 3},
        {"a new session offers passed-over images again", {"announce", "lend", "fail", "end", "session"}, 1, CurrentImage::None, false, 1},
        {"an owed confirmation survives the session's end", {"announce", "lend", "deliver", "forget", "session"}, 0, CurrentImage::None, true, 0},
        {"a disk image is never owed", {"announce", "lend-disk", "deliver"}, 0, CurrentImage::Delivered, false, 1},
        {"a failed disk image stays lent (its only copy)", {"announce", "lend-disk", "fail"}, 0, CurrentImage::Lent, false, 0},
        {"an ended disk image is not passed over", {"announce", "lend-disk", "end"}, 2, CurrentImage::None, false, 2},
        {"deliver without a lend changes nothing", {"announce", "deliver"}, 1, CurrentImage::Announced, false, 1},
    };
    for (const Case& c : cases) {
        CDeliveryLedger ledger;
        for (const std::string& step : c.steps) Apply(ledger, step);
        EXPECT_EQ(ledger.Current(), c.current) << c.name;
        EXPECT_EQ(ledger.Owed().has_value(), c.owed) << c.name;
        if (c.owed) {
            EXPECT_EQ(*ledger.Owed(), kImage) << c.name;
        }
        EXPECT_EQ(ledger.PendingCount(c.inApplication), c.count) << c.name;
    }
}
