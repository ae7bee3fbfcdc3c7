// The source's ledger of the image it hands over: when a confirmation is owed, which images a
// session passes over, what the program's count says, and what a failed, skipped, withdrawn or
// cancelled transfer leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "twain_source/core/delivery_ledger.h"

namespace {

using qor::twain::CDeliveryLedger;
using qor::twain::CurrentImage;
using qor::twain::LentImageKey;

// Images A, B and C by their ids (times of day) and CRCs.
constexpr LentImageKey kA{101010001, 0xAAAA0001u};
constexpr LentImageKey kB{101010002, 0xBBBB0002u};
constexpr LentImageKey kC{101010003, 0xCCCC0003u};

LentImageKey Key(char name) { return name == 'A' ? kA : name == 'B' ? kB : kC; }

struct Case {
    const char* name;
    // announce:X, announce (id unknown), lend:X, take (a copy out of the store), deliver,
    // deliver-unconfirmed, withdrawn, fail, end, forget, session, sent
    std::vector<std::string> steps;
    int32_t inApplication;  // QOR APP's count for this session afterwards
    CurrentImage current;
    const char* owed;        // "" or the image whose confirmation is owed
    std::vector<char> passedOver;
    int count;
};

void Apply(CDeliveryLedger& ledger, const std::string& step) {
    const char image = step.size() > 2 && step[step.size() - 2] == ':' ? step.back() : 0;
    const std::string verb = image ? step.substr(0, step.size() - 2) : step;
    if (verb == "announce") ledger.Announce(image ? Key(image).nImageId : 0);
    else if (verb == "lend") ledger.Lent(Key(image));
    else if (verb == "take") ledger.Lent(std::nullopt);
    else if (verb == "deliver") ledger.Delivered(true);
    else if (verb == "deliver-unconfirmed") ledger.Delivered(false);
    else if (verb == "withdrawn") ledger.Withdrawn();
    else if (verb == "fail") ledger.TransferFailed();
    else if (verb == "end") ledger.EndTransfer();
    else if (verb == "forget") ledger.Forget();
    else if (verb == "session") ledger.NewSession();
    else if (verb == "sent") ledger.ConfirmationSent();
    else FAIL() << "unknown step " << step;
}

}  // namespace

TEST(DeliveryLedger, OwedConfirmationsPassedOverImagesAndCountsAfterEveryKindOfEnd) {
    const Case cases[] = {
        {"announced image counts once", {"announce:A"}, 3, CurrentImage::Announced, "", {}, 3},
        {"confirmed delivery: in hand until MSG_ENDXFER, nothing owed", {"announce:A", "lend:A", "deliver"}, 2,
         CurrentImage::Delivered, "", {}, 3},
        {"unconfirmed delivery owes the confirmation", {"announce:A", "lend:A", "deliver-unconfirmed", "end"}, 2,
         CurrentImage::None, "A", {}, 2},
        {"owed confirmation sent", {"announce:A", "lend:A", "deliver-unconfirmed", "sent"}, 2, CurrentImage::Delivered, "",
         {}, 3},
        {"failed transfer: still announced, lent again later", {"announce:A", "lend:A", "fail"}, 4, CurrentImage::Announced,
         "", {}, 4},
        {"failed then ended: A passed over by its id", {"announce:A", "lend:A", "fail", "end"}, 1, CurrentImage::None, "",
         {'A'}, 1},
        {"skipped after DAT_IMAGEINFO, then B and C: only A passed over",
         {"announce:A", "lend:A", "end", "announce:B", "lend:B", "deliver", "end", "announce:C", "lend:C", "deliver", "end"},
         0, CurrentImage::None, "", {'A'}, 0},
        {"skipped without a transfer: the announced id is passed over", {"announce:B", "end"}, 2, CurrentImage::None, "",
         {'B'}, 2},
        {"an image passed over twice is named once", {"announce:A", "end", "announce:A", "lend:A", "fail", "end"}, 0,
         CurrentImage::None, "", {'A'}, 0},
        {"announced without an id (earlier QOR APP): nothing to pass over", {"announce", "end"}, 2, CurrentImage::None, "",
         {}, 2},
        {"withdrawn by the dentist: not delivered, not passed over, nothing owed", {"announce:A", "lend:A", "withdrawn"}, 1,
         CurrentImage::None, "", {}, 1},
        {"lent then cancelled: nothing owed, nothing passed over", {"announce:A", "lend:A", "forget"}, 3, CurrentImage::None,
         "", {}, 3},
        {"a new session passes over nothing", {"announce:A", "lend:A", "fail", "end", "session"}, 2, CurrentImage::None, "",
         {}, 2},
        {"an owed confirmation survives the session's end",
         {"announce:C", "lend:C", "deliver-unconfirmed", "forget", "session"}, 0, CurrentImage::None, "C", {}, 0},
        {"a taken image is never owed", {"announce", "take", "deliver-unconfirmed"}, 0, CurrentImage::Delivered, "", {}, 1},
        {"a failed taken image stays in hand (its only copy)", {"announce", "take", "fail"}, 0, CurrentImage::Lent, "", {},
         0},
        {"an ended taken image is not passed over", {"announce:A", "take", "end"}, 2, CurrentImage::None, "", {}, 2},
        {"deliver without a lend changes nothing", {"announce:A", "deliver"}, 1, CurrentImage::Announced, "", {}, 1},
        {"a negative count from QOR APP counts as none", {"announce:A"}, -4, CurrentImage::Announced, "", {}, 0},
    };
    for (const Case& c : cases) {
        CDeliveryLedger ledger;
        for (const std::string& step : c.steps) Apply(ledger, step);
        EXPECT_EQ(ledger.Current(), c.current) << c.name;
        EXPECT_EQ(ledger.Owed().has_value(), c.owed[0] != 0) << c.name;
        if (c.owed[0] != 0 && ledger.Owed()) {
            EXPECT_EQ(*ledger.Owed(), Key(c.owed[0])) << c.name;
        }
        std::vector<int32_t> expected;
        for (char image : c.passedOver) expected.push_back(Key(image).nImageId);
        EXPECT_EQ(ledger.PassedOver(), expected) << c.name;
        EXPECT_EQ(ledger.PendingCount(c.inApplication), c.count) << c.name;
    }
}

TEST(DeliveryLedger, PassedOverIdsAreBoundedOldestDroppedFirst) {
    CDeliveryLedger ledger;
    const int total = static_cast<int>(CDeliveryLedger::kMaxPassedOver) + 5;
    for (int32_t id = 1; id <= total; ++id) {
        ledger.Announce(id);
        ledger.EndTransfer();
    }
    ASSERT_EQ(ledger.PassedOver().size(), CDeliveryLedger::kMaxPassedOver);
    EXPECT_EQ(ledger.PassedOver().front(), 6);
    EXPECT_EQ(ledger.PassedOver().back(), total);
}
