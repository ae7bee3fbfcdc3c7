// The source's capabilities: rows built at every open and cleared at every close, values that
// live as long as the module, and the containers of the answers as the bytes the shell puts into
// a movable global block. Programs of 1.x see the first sixteen rows, as they always did; 2.x
// programs see every row.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "twain_source/core/app_protocol.h"

namespace qor::twain {

inline constexpr size_t kCapabilityCount = 21;
inline constexpr uint16_t kBitDepthBase = 0x9000;  // ICAP_BITDEPTH row key = base + pixel type

struct CapabilityEntry {
    uint16_t cap = 0;
    uint16_t itemType = 0;
    uint16_t getContainer = 0;
    uint16_t getContainer2 = 0;  // MSG_GET's container for 2.x programs
    uint16_t valueContainer = 0;
    bool twain2Only = false;
    uint32_t supportFlags = 0;
    uint32_t supportFlags2 = 0;  // for 2.x programs
    uint32_t itemCount = 0;
    const uint8_t* items = nullptr;
    uint32_t defaultCount = 0;
    const uint8_t* defaultValue = nullptr;
    uint32_t currentCount = 0;
    uint8_t* currentValue = nullptr;
};

// One capability answer: return and condition codes, the container type and its bytes (empty
// when there is no container to hand over).
struct CapabilityAnswer {
    uint16_t returnCode = 1;
    uint16_t conditionCode = 0;
    uint16_t conType = 0;
    std::vector<uint8_t> container;
};

uint32_t ItemSize(uint16_t itemType);  // 0 for an unknown type

class CCapabilityTable {
public:
    CCapabilityTable();
    CCapabilityTable(const CCapabilityTable&) = delete;
    CCapabilityTable& operator=(const CCapabilityTable&) = delete;

    // At MSG_OPENDS, for the program that opens. A 2.x program starts from the defaults, as
    // TWAIN 2.x requires; for a 1.x program the values set in earlier sessions stay.
    void Build(AppProtocol protocol);
    void Clear();

    // `container` is the application's container for MSG_SET (may be null otherwise). For
    // MSG_RESETALL `cap` is ignored and the answer carries no container.
    CapabilityAnswer Handle(uint16_t cap, uint16_t msg, uint16_t conType, const uint8_t* container,
                            size_t containerSize, AppProtocol protocol);

    uint16_t CurrentPixelType() const;
    uint16_t CurrentBitDepth() const;  // 0 when the pixel type has no bit-depth row
    float CurrentXResolution() const;
    int16_t CurrentXferCount() const;  // -1: as many as there are

private:
    struct Values {
        std::vector<uint8_t> items;
        std::vector<uint8_t> defaultValue;
        std::vector<uint8_t> currentValue;
    };
    const CapabilityEntry* Find(uint16_t key, AppProtocol protocol) const;
    CapabilityAnswer Get(const CapabilityEntry& row, AppProtocol protocol) const;
    CapabilityAnswer ResetAll();
    CapabilityAnswer Set(const CapabilityEntry& row, uint16_t conType, const uint8_t* container,
                         size_t containerSize);

    std::array<Values, kCapabilityCount> m_values;  // survive Clear and Build
    std::array<CapabilityEntry, kCapabilityCount> m_rows{};
};

}  // namespace qor::twain
