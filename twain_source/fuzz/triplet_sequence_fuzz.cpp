// Sequences of triplets, as an imaging program sends them, driven through the source's portable
// core the way DS_Entry drives it: the state rules decide, the handlers move the state, the
// capability table answers with containers, and images arrive between triplets and leave by
// native or memory transfers. After every step the invariants of a TWAIN source are checked:
// - the state is one of 3 to 7, and a triplet moves it only from a state TWAIN allows it in;
// - a refused triplet changes nothing (state, capability values, image in hand);
// - every capability container is complete and self-consistent, a refused MSG_SET leaves the
//   value, an accepted one is what MSG_GETCURRENT answers next;
// - a memory transfer writes whole rows within the buffer, top row first, each row once;
// - the image in hand survives being written back and read again.
// Input: steps of one selector byte and its arguments; images and containers are length-prefixed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <optional>
#include <vector>

#include "twain_source/core/capability_table.h"
#include "twain_source/core/dib_image.h"
#include "twain_source/core/fix32.h"
#include "twain_source/core/state_rules.h"
#include "twain_source/core/twain_codes.h"

namespace {

using namespace qor::twain;

#define REQUIRE(condition)                                                                       \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "triplet invariant broken: %s (line %d)\n", #condition, __LINE__); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    // A length-prefixed run of bytes, in a buffer of exactly that size (ASan sees overreads).
    std::vector<uint8_t> Run() {
        const size_t wanted = Word();
        const size_t n = wanted < m_size - std::min(m_at, m_size) ? wanted : m_size - std::min(m_at, m_size);
        std::vector<uint8_t> bytes(m_data + m_at, m_data + m_at + n);
        m_at += n;
        return bytes;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

struct Triplet {
    uint32_t dg;
    uint16_t dat;
    uint16_t msg;
    uint8_t twainStates;  // bit n: state n+3 is where TWAIN lets this triplet change the state
};

constexpr uint8_t S(int state) { return static_cast<uint8_t>(1u << (state - 3)); }
// The source is lenient where leniency is safe: closing and disabling from any later state.
constexpr Triplet kTriplets[] = {
    // In states 4 to 7 a session its manager dropped is ended first.
    {DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, S(3) | S(4) | S(5) | S(6) | S(7)},
    {DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, S(4) | S(5) | S(6) | S(7)},
    {DG_CONTROL, DAT_IDENTITY, MSG_GET, 0},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, S(4)},
    {DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, S(5) | S(6) | S(7)},
    {DG_CONTROL, DAT_CAPABILITY, MSG_GET, 0},
    {DG_CONTROL, DAT_CAPABILITY, MSG_SET, 0},
    {DG_CONTROL, DAT_STATUS, MSG_GET, 0},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, 0},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, S(6)},
    {DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, S(6) | S(7)},
    {DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, 0},
    {DG_IMAGE, DAT_IMAGEINFO, MSG_GET, 0},
    {DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, S(6)},
    {DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, S(6) | S(7)},
    {DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, S(6) | S(7)},
    {DG_IMAGE, DAT_PALETTE8, MSG_GET, 0},
};
constexpr size_t kTripletCount = sizeof kTriplets / sizeof kTriplets[0];

constexpr uint16_t kCaps[] = {CAP_SUPPORTEDCAPS, ICAP_XFERMECH,     ICAP_PIXELFLAVOR,
                              ICAP_PLANARCHUNKY, ICAP_COMPRESSION,  ICAP_PHYSICALWIDTH,
                              ICAP_PHYSICALHEIGHT, ICAP_UNITS,      ICAP_PIXELTYPE,
                              ICAP_BITDEPTH,     ICAP_BITORDER,     ICAP_XRESOLUTION,
                              ICAP_YRESOLUTION,  CAP_XFERCOUNT,     ICAP_IMAGEFILEFORMAT,
                              CAP_UICONTROLLABLE, CAP_SUPPORTEDDATS, CAP_DEVICEONLINE,
                              ICAP_XNATIVERESOLUTION, ICAP_YNATIVERESOLUTION, CAP_FEEDERENABLED,
                              0x9001,           0x0000};
constexpr size_t kCapCount = sizeof kCaps / sizeof kCaps[0];

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
    uint16_t v;
    std::memcpy(&v, bytes.data() + at, 2);
    return v;
}
uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

// A container must hold everything its own header announces.
void CheckContainer(const CapabilityAnswer& answer, uint16_t msg, AppProtocol protocol) {
    if (protocol == AppProtocol::Twain15) REQUIRE(answer.conditionCode <= TWCC_BADDEST);
    if (answer.returnCode != TWRC_SUCCESS) {
        REQUIRE(answer.container.empty());
        return;
    }
    if (answer.container.empty()) {
        REQUIRE(msg == MSG_SET || msg == MSG_RESETALL);
        return;
    }
    const std::vector<uint8_t>& c = answer.container;
    REQUIRE(c.size() >= 6);
    const uint32_t size = ItemSize(Get16(c, 0));
    REQUIRE(size != 0);
    switch (answer.conType) {
        case TWON_ONEVALUE: REQUIRE(c.size() >= 2 + size); break;
        case TWON_ARRAY: REQUIRE(c.size() >= 6 + static_cast<uint64_t>(size) * Get32(c, 2)); break;
        case TWON_ENUMERATION: {
            REQUIRE(c.size() >= 14);
            const uint32_t n = Get32(c, 2);
            REQUIRE(c.size() >= 14 + static_cast<uint64_t>(size) * n);
            REQUIRE(Get32(c, 6) < n);   // the current value is one of the items
            REQUIRE(Get32(c, 10) < n);  // and so is the default
            break;
        }
        default: REQUIRE(false);
    }
}

class SourceModel {
public:
    void Step(Input& in);

private:
    // Everything a refused triplet must leave as it was.
    struct Snapshot {
        int32_t state;
        std::vector<std::vector<uint8_t>> capabilities;
        bool hasImage;
        size_t waiting;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot Take() {
        Snapshot s{m_state, {}, m_image.has_value(), m_waiting.size()};
        for (uint16_t cap : kCaps) {
            s.capabilities.push_back(m_table.Handle(cap, MSG_GET, 0, nullptr, 0, AppProtocol::Twain2).container);
        }
        return s;
    }

    bool Execute(const Triplet& t, Input& in);  // false: the triplet was refused
    bool Capability(uint16_t msg, Input& in);
    bool MemoryTransfer(Input& in);
    bool WrittenBack();
    void Announce();
    void Release() {
        m_image.reset();
        m_cursor.Reset();
        m_rowsDelivered = 0;
    }

    int32_t m_state = kState3;
    CCapabilityTable m_table;
    AppProtocol m_protocol = AppProtocol::Twain1;
    std::deque<std::vector<uint8_t>> m_waiting;  // images the application still holds
    std::optional<DibImage> m_image;            // the image in hand (states 6 and 7)
    CDibRowCursor m_cursor;
    uint32_t m_rowsDelivered = 0;
};

void SourceModel::Announce() {
    while (!m_waiting.empty()) {
        std::optional<DibImage> dib = LoadDib(m_waiting.front().data(), m_waiting.front().size());
        m_waiting.pop_front();
        if (dib) {
            m_image = std::move(dib);
            m_state = kState6;
            return;
        }
    }
}

// The image in hand written back as a file reads again as the same bitmap.
bool SourceModel::WrittenBack() {
    const std::vector<uint8_t> file = DibToBmpFile(*m_image);
    REQUIRE(file.size() == 54 + 4 * static_cast<size_t>(m_image->colorCount) +
                               static_cast<size_t>(m_image->stride) * static_cast<size_t>(m_image->height));
    const std::optional<DibImage> again = LoadDib(file.data(), file.size());
    REQUIRE(again.has_value());
    REQUIRE(again->width == m_image->width && again->height == m_image->height);
    REQUIRE(again->bitCount == m_image->bitCount && again->colorCount == m_image->colorCount);
    const size_t used = m_image->bitsOffset + static_cast<size_t>(m_image->stride) * m_image->height;
    REQUIRE(again->bytes.size() >= used && m_image->bytes.size() >= used);
    REQUIRE(std::memcmp(again->bytes.data() + 40, m_image->bytes.data() + 40, used - 40) == 0);
    return true;
}

bool SourceModel::Capability(uint16_t msg, Input& in) {
    const uint16_t cap = (in.Byte() & 0x80) ? in.Word() : kCaps[in.Byte() % kCapCount];
    const uint16_t conType = static_cast<uint16_t>(in.Byte() % 7);
    const std::vector<uint8_t> container = in.Run();
    const bool closed = m_state == kState3;
    const CapabilityAnswer answer =
        m_table.Handle(cap, msg, conType, msg == MSG_SET ? container.data() : nullptr,
                       msg == MSG_SET ? container.size() : 0, m_protocol);
    CheckContainer(answer, msg, m_protocol);
    if (closed) REQUIRE(answer.returnCode == TWRC_FAILURE);
    if (msg == MSG_SET && answer.returnCode == TWRC_SUCCESS && conType == TWON_ONEVALUE) {
        const CapabilityAnswer now = m_table.Handle(cap, MSG_GETCURRENT, 0, nullptr, 0, m_protocol);
        REQUIRE(now.returnCode == TWRC_SUCCESS);
        const uint16_t itemType = Get16(now.container, 0);
        if (itemType == TWTY_FIX32) {
            Fix32 set, got;
            std::memcpy(&set.Whole, container.data() + 2, 2);
            std::memcpy(&set.Frac, container.data() + 4, 2);
            std::memcpy(&got.Whole, now.container.data() + 2, 2);
            std::memcpy(&got.Frac, now.container.data() + 4, 2);
            REQUIRE(FromFix32(set) == FromFix32(got));
        } else {
            REQUIRE(std::memcmp(now.container.data() + 2, container.data() + 2, ItemSize(itemType)) == 0);
        }
    }
    // The pixel type in force always has a bit depth while the table is built.
    if (!closed) REQUIRE(m_table.CurrentBitDepth() != 0);
    return answer.returnCode == TWRC_SUCCESS;
}

bool SourceModel::MemoryTransfer(Input& in) {
    if (m_state == kState6 || !m_cursor.Active()) {
        if (!m_image) return false;
        m_cursor.Start(&*m_image);
        m_rowsDelivered = 0;
    }
    const uint32_t length = static_cast<uint32_t>(in.Word()) * (in.Byte() % 8 + 1);
    std::vector<uint8_t> buffer(length);
    const RowCopyResult r = m_cursor.Copy(length ? buffer.data() : nullptr, length);
    if (r.status == RowCopy::BufferTooSmall || r.status == RowCopy::NoDib) return false;
    const uint32_t stride = m_image->stride;
    REQUIRE(r.bytesWritten <= length);
    REQUIRE(r.rows > 0 && r.bytesWritten == r.rows * stride);
    REQUIRE(r.yOffset == m_rowsDelivered);
    for (uint32_t i = 0; i < r.rows; ++i) {
        // Top image row first: the bottom-up bitmap's last stored row.
        const uint32_t stored = static_cast<uint32_t>(m_image->height) - 1 - (m_rowsDelivered + i);
        REQUIRE(std::memcmp(buffer.data() + static_cast<size_t>(i) * stride,
                            m_image->bytes.data() + m_image->bitsOffset + static_cast<size_t>(stored) * stride,
                            stride) == 0);
    }
    m_rowsDelivered += r.rows;
    REQUIRE(m_rowsDelivered <= static_cast<uint32_t>(m_image->height));
    REQUIRE((r.status == RowCopy::Done) == (m_rowsDelivered == static_cast<uint32_t>(m_image->height)));
    m_state = kState7;
    return true;
}

bool SourceModel::Execute(const Triplet& t, Input& in) {
    if (const StateRule* rule = FindStateRule(t.dg, t.dat, t.msg, m_protocol);
        rule != nullptr && !StateAllowed(*rule, m_state)) {
        return false;
    }
    switch (t.dat) {
        case DAT_IDENTITY:
            if (t.msg == MSG_OPENDS) {
                // A dropped session ends as MSG_CLOSEDS would end it.
                if (m_image) m_waiting.push_front(DibToBmpFile(*m_image));
                Release();
                m_protocol = static_cast<AppProtocol>(in.Byte() % 3);
                m_state = kState4;
                m_table.Build(m_protocol);
            } else if (t.msg == MSG_CLOSEDS) {
                // The image in hand goes back to the application: it was never delivered.
                if (m_image) m_waiting.push_front(DibToBmpFile(*m_image));
                Release();
                m_state = kState3;
                m_table.Clear();
            }
            return t.msg == MSG_OPENDS || t.msg == MSG_CLOSEDS || t.msg == MSG_GET;
        case DAT_USERINTERFACE:
            if (t.msg == MSG_ENABLEDS) {
                m_state = kState5;
                Announce();
            } else if (t.msg == MSG_DISABLEDS) {
                if (m_image) m_waiting.push_front(DibToBmpFile(*m_image));
                Release();
                m_state = kState4;
            }
            return t.msg == MSG_ENABLEDS || t.msg == MSG_DISABLEDS;
        case DAT_CAPABILITY: return Capability(t.msg, in);
        case DAT_PENDINGXFERS:
            if (t.msg == MSG_RESET) {
                if (m_image) m_waiting.push_front(DibToBmpFile(*m_image));
                Release();
                m_state = kState5;
            } else if (t.msg == MSG_ENDXFER) {
                const bool transferring = m_state == kState6 || m_state == kState7;
                if (!transferring && m_waiting.empty()) return false;
                Release();
                m_state = kState5;
                Announce();
            }
            return t.msg == MSG_GET || t.msg == MSG_RESET || t.msg == MSG_ENDXFER;
        case DAT_IMAGENATIVEXFER:
        case DAT_IMAGEFILEXFER:
            if (t.msg != MSG_GET || !m_image) return false;
            WrittenBack();
            m_state = kState7;
            return true;
        case DAT_IMAGEMEMXFER: return t.msg == MSG_GET && MemoryTransfer(in);
        case DAT_PALETTE8:
            if (m_image) {
                REQUIRE(m_image->colorCount <= 256);
                REQUIRE(m_image->bytes.size() >= 40 + 4 * static_cast<size_t>(m_image->colorCount));
            }
            return true;
        default: return true;
    }
}

void SourceModel::Step(Input& in) {
    const uint8_t selector = in.Byte();
    if (selector >= 0xF0) {
        // An exposure reaches the application; an enabled source without an image announces it.
        m_waiting.push_back(in.Run());
        if (m_state == kState5) Announce();
        return;
    }
    Triplet t = kTriplets[selector % kTripletCount];
    if (selector >= 0xE0) {
        // Any triplet at all, with the message taken from the input.
        t.dat = in.Word();
        t.msg = in.Word();
        t.dg = (selector & 1) ? DG_IMAGE : DG_CONTROL;
        t.twainStates = 0;
        for (const Triplet& known : kTriplets) {
            if (known.dg == t.dg && known.dat == t.dat && known.msg == t.msg) t.twainStates = known.twainStates;
        }
        const bool known = std::any_of(std::begin(kTriplets), std::end(kTriplets), [&](const Triplet& k) {
            return k.dg == t.dg && k.dat == t.dat;
        });
        if (!known) return;
    } else if (t.dat == DAT_CAPABILITY) {
        static constexpr uint16_t kMessages[] = {MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET,
                                                 MSG_SET, MSG_QUERYSUPPORT, MSG_GETFIRST, MSG_RESETALL};
        t.msg = kMessages[(selector >> 4) % 8];
    }

    const Snapshot before = Take();
    const bool accepted = Execute(t, in);
    const Snapshot after = Take();
    REQUIRE(m_state >= kState3 && m_state <= kState7 && m_state % 100 == 0);
    if (!accepted) REQUIRE(before == after);
    if (after.state != before.state) {
        REQUIRE((t.twainStates & S(before.state / 100)) != 0);
    }
    // An image is in hand exactly while the program may transfer it.
    REQUIRE(m_image.has_value() == (m_state >= kState6));
    if (m_state == kState3) {
        REQUIRE(m_table.Handle(ICAP_PIXELTYPE, MSG_GET, 0, nullptr, 0, m_protocol).returnCode == TWRC_FAILURE);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    SourceModel source;
    for (int steps = 0; steps < 64 && !in.Empty(); ++steps) source.Step(in);
    return 0;
}
