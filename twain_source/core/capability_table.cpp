#include "twain_source/core/capability_table.h"

#include <cstring>

#include "twain_source/core/fix32.h"
#include "twain_source/core/supported_triplets.h"
#include "twain_source/core/twain_codes.h"

namespace qor::twain {

namespace {

constexpr uint32_t kGetOnly = TWQC_GET;
constexpr uint32_t kReadOnly = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;
constexpr uint32_t kAll = kReadOnly | TWQC_SET | TWQC_RESET;
// TWAIN 2.x reads the two lists with all three get messages; 1.x programs only ever had MSG_GET.
constexpr uint32_t kArrayRead = kReadOnly;

struct RowDefinition {
    uint16_t cap;
    uint16_t itemType;
    uint16_t getContainer;
    uint16_t getContainer2;  // what 2.x programs get from MSG_GET
    uint32_t supportFlags;
    uint32_t supportFlags2;  // what 2.x programs may do
    bool twain2Only;
};

constexpr uint16_t kArray = TWON_ARRAY, kEnum = TWON_ENUMERATION, kOne = TWON_ONEVALUE;

// In the order of CAP_SUPPORTEDCAPS; the bit-depth row is keyed for grey. The rows after the first
// sixteen are those TWAIN 2.x requires of every image source. 2.x programs get the on/off
// capabilities as enumerations, the container the Working Group's checks expect of them.
constexpr std::array<RowDefinition, kCapabilityCount> kRows{{
    {CAP_SUPPORTEDCAPS, TWTY_UINT16, kArray, kArray, kGetOnly, kArrayRead, false},
    {ICAP_XFERMECH, TWTY_UINT16, kEnum, kEnum, kAll, kAll, false},
    {ICAP_PIXELFLAVOR, TWTY_UINT16, kEnum, kEnum, kReadOnly, kReadOnly, false},
    {ICAP_PLANARCHUNKY, TWTY_UINT16, kEnum, kEnum, kReadOnly, kReadOnly, false},
    {ICAP_COMPRESSION, TWTY_UINT16, kEnum, kEnum, kReadOnly, kReadOnly, false},
    {ICAP_PHYSICALWIDTH, TWTY_FIX32, kOne, kOne, kReadOnly, kReadOnly, false},
    {ICAP_PHYSICALHEIGHT, TWTY_FIX32, kOne, kOne, kReadOnly, kReadOnly, false},
    {ICAP_UNITS, TWTY_UINT16, kEnum, kEnum, kAll, kAll, false},
    {ICAP_PIXELTYPE, TWTY_UINT16, kEnum, kEnum, kAll, kAll, false},
    {kBitDepthBase + TWPT_GRAY, TWTY_UINT16, kEnum, kEnum, kAll, kAll, false},
    {ICAP_BITORDER, TWTY_UINT16, kEnum, kEnum, kReadOnly, kReadOnly, false},
    {ICAP_XRESOLUTION, TWTY_FIX32, kEnum, kEnum, kAll, kAll, false},
    {ICAP_YRESOLUTION, TWTY_FIX32, kEnum, kEnum, kAll, kAll, false},
    {CAP_XFERCOUNT, TWTY_INT16, kOne, kOne, kAll, kAll, false},
    {ICAP_IMAGEFILEFORMAT, TWTY_UINT16, kEnum, kEnum, kReadOnly, kReadOnly, false},
    {CAP_UICONTROLLABLE, TWTY_BOOL, kOne, kEnum, kReadOnly, kReadOnly, false},
    {CAP_SUPPORTEDDATS, TWTY_UINT32, kArray, kArray, kGetOnly, kArrayRead, true},
    {CAP_DEVICEONLINE, TWTY_BOOL, kEnum, kEnum, kReadOnly, kReadOnly, true},
    {ICAP_XNATIVERESOLUTION, TWTY_FIX32, kOne, kOne, kReadOnly, kReadOnly, true},
    {ICAP_YNATIVERESOLUTION, TWTY_FIX32, kOne, kOne, kReadOnly, kReadOnly, true},
    // A sensor has no feeder: FALSE is the one value, and setting it is allowed.
    {CAP_FEEDERENABLED, TWTY_BOOL, kEnum, kEnum, kAll, kAll, true},
}};
constexpr size_t kSupportedCapsRow = 0;
constexpr size_t kPixelTypeRow = 8;
constexpr size_t kXResolutionRow = 11;
constexpr size_t kYResolutionRow = 12;
constexpr size_t kXferCountRow = 13;
constexpr size_t kSupportedDatsRow = 16;

// The resolution the images are described at; the sensor has no other.
constexpr float kNativeResolution = 100.0f;

template <typename T>
std::vector<uint8_t> Pack(std::initializer_list<T> values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    size_t at = 0;
    for (T v : values) {
        std::memcpy(bytes.data() + at, &v, sizeof(T));
        at += sizeof(T);
    }
    return bytes;
}

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) { std::memcpy(out.data() + at, &v, 2); }
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) { std::memcpy(out.data() + at, &v, 4); }

// One item in its container form: FIX32 converted from the stored float, other types as stored.
void PutItem(std::vector<uint8_t>& out, size_t at, uint16_t itemType, const uint8_t* item) {
    const uint32_t size = ItemSize(itemType);
    if (itemType == TWTY_FIX32) {
        float value;
        std::memcpy(&value, item, 4);
        const Fix32 fix = ToFix32(value);
        std::memcpy(out.data() + at, &fix.Whole, 2);
        std::memcpy(out.data() + at + 2, &fix.Frac, 2);
    } else {
        std::memcpy(out.data() + at, item, size);
    }
}

bool IsArrayRow(uint16_t cap) { return cap == CAP_SUPPORTEDCAPS || cap == CAP_SUPPORTEDDATS; }

std::vector<uint8_t> Array(uint16_t itemType, uint32_t count, const uint8_t* items) {
    const uint32_t size = ItemSize(itemType);
    std::vector<uint8_t> out(size * count + 7, 0);
    Put16(out, 0, itemType);
    Put32(out, 2, count);
    for (uint32_t i = 0; i < count; ++i) PutItem(out, 6 + i * size, itemType, items + i * size);
    return out;
}

uint32_t IndexOf(const CapabilityEntry& row, const uint8_t* value) {
    const uint32_t size = ItemSize(row.itemType);
    for (uint32_t i = 0; i < row.itemCount; ++i) {
        if (std::memcmp(row.items + i * size, value, size) == 0) return i;
    }
    return row.itemCount;
}

std::vector<uint8_t> OneValue(uint16_t itemType, const uint8_t* item) {
    std::vector<uint8_t> out(ItemSize(itemType) + 6, 0);
    Put16(out, 0, itemType);
    PutItem(out, 2, itemType, item);  // zero-extended: the rest of Item is already 0
    return out;
}

}  // namespace

uint32_t ItemSize(uint16_t itemType) {
    switch (itemType) {
        case TWTY_INT8:
        case TWTY_UINT8: return 1;
        case TWTY_INT16:
        case TWTY_UINT16:
        case TWTY_BOOL: return 2;
        case TWTY_INT32:
        case TWTY_UINT32:
        case TWTY_FIX32: return 4;
        case TWTY_FRAME: return 16;
        case TWTY_STR32:
        case TWTY_STR64:
        case TWTY_STR128:
        case TWTY_STR255: return 34;
        default: return 0;
    }
}

CCapabilityTable::CCapabilityTable() {
    // CAP_SUPPORTEDCAPS is made per program at MSG_GET; CAP_SUPPORTEDDATS is fixed.
    std::vector<uint8_t> dats;
    for (const SupportedTriplet& triplet : kSupportedTriplets) {
        const std::vector<uint8_t> one = Pack<uint32_t>({SupportedDatCode(triplet)});
        dats.insert(dats.end(), one.begin(), one.end());
    }
    m_values[kSupportedDatsRow].items = dats;

    auto set16 = [this](size_t row, std::initializer_list<uint16_t> items, uint16_t def) {
        m_values[row].items = Pack<uint16_t>(items);
        m_values[row].defaultValue = Pack<uint16_t>({def});
        m_values[row].currentValue = m_values[row].defaultValue;
    };
    auto setFloat = [this](size_t row, float value) {
        m_values[row].items = Pack<float>({value});
        m_values[row].defaultValue = m_values[row].items;
        m_values[row].currentValue = m_values[row].items;
    };
    set16(1, {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY}, TWSX_NATIVE);
    set16(2, {TWPF_CHOCOLATE}, TWPF_CHOCOLATE);
    set16(3, {TWPC_CHUNKY, TWPC_PLANAR}, TWPC_CHUNKY);
    set16(4, {TWCP_NONE}, TWCP_NONE);
    setFloat(5, 8.5f);
    setFloat(6, 11.0f);
    set16(7, {TWUN_INCHES, TWUN_CENTIMETERS, TWUN_PIXELS}, TWUN_INCHES);
    set16(kPixelTypeRow, {TWPT_GRAY}, TWPT_GRAY);
    set16(9, {8}, 8);
    set16(10, {TWBO_MSBFIRST, TWBO_LSBFIRST}, TWBO_MSBFIRST);
    setFloat(kXResolutionRow, kNativeResolution);
    std::vector<uint8_t> counts = Pack<int16_t>({-1});
    for (int16_t n = 1; n <= 64; ++n) {
        const std::vector<uint8_t> one = Pack<int16_t>({n});
        counts.insert(counts.end(), one.begin(), one.end());
    }
    m_values[kXferCountRow].items = counts;
    m_values[kXferCountRow].defaultValue = Pack<int16_t>({-1});
    m_values[kXferCountRow].currentValue = m_values[kXferCountRow].defaultValue;
    set16(14, {TWFF_BMP}, TWFF_BMP);
    set16(15, {1, 0}, 1);
    set16(17, {1}, 1);
    setFloat(18, kNativeResolution);
    setFloat(19, kNativeResolution);
    set16(20, {0}, 0);
}

void CCapabilityTable::Build(AppProtocol protocol) {
    for (size_t i = 0; i < kCapabilityCount; ++i) {
        const RowDefinition& definition = kRows[i];
        // X and Y resolution share one list, default and current value.
        Values& values = m_values[i == kYResolutionRow ? kXResolutionRow : i];
        const uint32_t size = ItemSize(definition.itemType);
        CapabilityEntry& row = m_rows[i];
        row.cap = definition.cap;
        row.itemType = definition.itemType;
        row.getContainer = definition.getContainer;
        row.getContainer2 = definition.getContainer2;
        row.valueContainer = IsArrayRow(definition.cap) ? TWON_ARRAY : TWON_ONEVALUE;
        row.twain2Only = definition.twain2Only;
        row.supportFlags = definition.supportFlags;
        row.supportFlags2 = definition.supportFlags2;
        row.itemCount = static_cast<uint32_t>(values.items.size() / size);
        row.items = values.items.data();
        row.defaultCount = values.defaultValue.empty() ? 0 : 1;
        row.defaultValue = values.defaultValue.empty() ? nullptr : values.defaultValue.data();
        row.currentCount = row.defaultCount;
        row.currentValue = values.currentValue.empty() ? nullptr : values.currentValue.data();
    }
    if (protocol == AppProtocol::Twain2) ResetAll();
}

void CCapabilityTable::Clear() { m_rows.fill(CapabilityEntry{}); }

const CapabilityEntry* CCapabilityTable::Find(uint16_t key, AppProtocol protocol) const {
    for (const CapabilityEntry& row : m_rows) {
        if (row.twain2Only && protocol != AppProtocol::Twain2) continue;
        if (row.cap != 0 && row.cap == key) return &row;
    }
    return nullptr;
}

CapabilityAnswer CCapabilityTable::Get(const CapabilityEntry& row, AppProtocol protocol) const {
    CapabilityAnswer answer;
    answer.returnCode = TWRC_SUCCESS;
    answer.conditionCode = TWCC_SUCCESS;
    const uint32_t size = ItemSize(row.itemType);
    answer.conType = protocol == AppProtocol::Twain2 ? row.getContainer2 : row.getContainer;
    if (row.cap == CAP_SUPPORTEDCAPS) {
        // Exactly the rows this program can ask for, in table order.
        std::vector<uint16_t> codes;
        for (const CapabilityEntry& r : m_rows) {
            if (r.cap == 0 || (r.twain2Only && protocol != AppProtocol::Twain2)) continue;
            codes.push_back(r.cap >= kBitDepthBase ? static_cast<uint16_t>(ICAP_BITDEPTH) : r.cap);
        }
        answer.container = Array(TWTY_UINT16, static_cast<uint32_t>(codes.size()),
                                 reinterpret_cast<const uint8_t*>(codes.data()));
    } else if (answer.conType == TWON_ARRAY) {
        answer.container = Array(row.itemType, row.itemCount, row.items);
    } else if (answer.conType == TWON_ONEVALUE) {
        if (row.currentValue == nullptr) return CapabilityAnswer{TWRC_FAILURE, TWCC_CAPBADOPERATION, 0, {}};
        answer.container = OneValue(row.itemType, row.currentValue);
    } else {
        std::vector<uint8_t> out(size * row.itemCount + 15, 0);
        Put16(out, 0, row.itemType);
        Put32(out, 2, row.itemCount);
        Put32(out, 6, row.currentValue ? IndexOf(row, row.currentValue) : row.itemCount);
        Put32(out, 10, row.defaultValue ? IndexOf(row, row.defaultValue) : row.itemCount);
        for (uint32_t i = 0; i < row.itemCount; ++i) {
            PutItem(out, 14 + i * size, row.itemType, row.items + i * size);
        }
        answer.container = std::move(out);
    }
    return answer;
}

CapabilityAnswer CCapabilityTable::ResetAll() {
    CapabilityAnswer answer;
    answer.returnCode = TWRC_FAILURE;
    answer.conditionCode = TWCC_SEQERROR;  // no open session: nothing to reset
    if (m_rows[kSupportedCapsRow].cap == 0) return answer;
    for (CapabilityEntry& row : m_rows) {
        if ((row.supportFlags & TWQC_RESET) == 0 || row.currentValue == nullptr || row.defaultValue == nullptr) {
            continue;
        }
        std::memcpy(row.currentValue, row.defaultValue, ItemSize(row.itemType) * row.currentCount);
    }
    answer.returnCode = TWRC_SUCCESS;
    answer.conditionCode = TWCC_SUCCESS;
    return answer;
}

CapabilityAnswer CCapabilityTable::Handle(uint16_t cap, uint16_t msg, uint16_t conType,
                                          const uint8_t* container, size_t containerSize,
                                          AppProtocol protocol) {
    // Answered whoever asks: the Working Group's checks send it as a 1.9 program too.
    if (msg == MSG_RESETALL) return ResetAll();
    const bool twain2 = protocol == AppProtocol::Twain2;

    CapabilityAnswer answer;
    answer.returnCode = TWRC_FAILURE;
    answer.conditionCode = TWCC_CAPUNSUPPORTED;
    const uint16_t key =
        cap == ICAP_BITDEPTH ? static_cast<uint16_t>(kBitDepthBase + CurrentPixelType()) : cap;
    const CapabilityEntry* row = Find(key, protocol);

    auto needs = [&](uint32_t flag) {
        if (((twain2 ? row->supportFlags2 : row->supportFlags) & flag) != 0) return true;
        answer.conditionCode = TWCC_CAPBADOPERATION;
        return false;
    };
    auto success = [&](uint16_t type, std::vector<uint8_t> bytes) {
        answer.returnCode = TWRC_SUCCESS;
        answer.conditionCode = TWCC_SUCCESS;
        answer.conType = type;
        answer.container = std::move(bytes);
    };
    auto oneValue = [&](const uint8_t* value) {
        if (value == nullptr) {
            answer.conditionCode = TWCC_CAPBADOPERATION;
            return;
        }
        success(TWON_ONEVALUE, OneValue(row->itemType, value));
    };

    if (row != nullptr) {
        const uint32_t size = ItemSize(row->itemType);
        switch (msg) {
            case MSG_GET:
                if (needs(TWQC_GET)) answer = Get(*row, protocol);
                break;
            case MSG_GETCURRENT:
                if (!needs(TWQC_GETCURRENT)) break;
                if (row->valueContainer == TWON_ARRAY) {
                    answer = Get(*row, protocol);
                } else {
                    oneValue(row->currentValue);
                }
                break;
            case MSG_GETDEFAULT:
                if (!needs(TWQC_GETDEFAULT)) break;
                if (row->valueContainer == TWON_ARRAY) {
                    answer = Get(*row, protocol);
                } else {
                    oneValue(row->defaultValue);
                }
                break;
            case MSG_RESET: {
                // A 2.x program may reset what it cannot set: the value stays the default, and
                // the answer says which (its support flags still name no reset).
                const uint32_t flags = twain2 ? row->supportFlags2 : row->supportFlags;
                const bool fixedValue = twain2 && (flags & TWQC_GETDEFAULT) != 0 && (flags & TWQC_SET) == 0 &&
                                        row->valueContainer != TWON_ARRAY;
                if (!fixedValue && !needs(TWQC_RESET)) break;
                if (row->currentValue != nullptr && row->defaultValue != nullptr) {
                    std::memcpy(row->currentValue, row->defaultValue, size * row->currentCount);
                }
                oneValue(row->defaultValue);
                break;
            }
            case MSG_SET:
                if (needs(TWQC_SET)) answer = Set(*row, conType, container, containerSize);
                break;
            case MSG_QUERYSUPPORT: {
                // TWAIN names TWTY_INT32; 1.x programs keep the type they always got.
                const uint32_t flags = twain2 ? row->supportFlags2 : row->supportFlags;
                success(TWON_ONEVALUE, OneValue(twain2 ? TWTY_INT32 : TWTY_UINT32,
                                                reinterpret_cast<const uint8_t*>(&flags)));
                break;
            }
            default:
                // To 2.x programs a capability that exists refuses what it does not do (help
                // texts and labels among them); 1.x programs keep TWCC_CAPUNSUPPORTED.
                if (twain2) answer.conditionCode = TWCC_CAPBADOPERATION;
                break;
        }
    }
    if (protocol == AppProtocol::Twain15 && answer.conditionCode > TWCC_BADDEST) answer.conditionCode = TWCC_BADCAP;
    return answer;
}

CapabilityAnswer CCapabilityTable::Set(const CapabilityEntry& row, uint16_t conType,
                                       const uint8_t* container, size_t containerSize) {
    CapabilityAnswer answer;
    answer.returnCode = TWRC_FAILURE;
    answer.conditionCode = TWCC_BADVALUE;
    if (conType == TWON_ENUMERATION) {
        // Taken without effect; the condition says the values were not used.
        answer.returnCode = TWRC_SUCCESS;
        return answer;
    }
    if (conType != TWON_ONEVALUE || container == nullptr || containerSize < 2) return answer;
    uint16_t itemType;
    std::memcpy(&itemType, container, 2);
    const uint32_t size = ItemSize(row.itemType);
    if (itemType != row.itemType || containerSize < 2 + size || row.currentValue == nullptr) {
        return answer;
    }
    uint8_t value[4] = {};
    if (itemType == TWTY_FIX32) {
        Fix32 fix;
        std::memcpy(&fix.Whole, container + 2, 2);
        std::memcpy(&fix.Frac, container + 4, 2);
        const float number = FromFix32(fix);
        std::memcpy(value, &number, 4);
    } else {
        std::memcpy(value, container + 2, size);
    }
    if (IndexOf(row, value) == row.itemCount) return answer;
    std::memcpy(row.currentValue, value, size);
    answer.returnCode = TWRC_SUCCESS;
    answer.conditionCode = TWCC_SUCCESS;
    return answer;
}

uint16_t CCapabilityTable::CurrentPixelType() const {
    uint16_t type;
    std::memcpy(&type, m_values[kPixelTypeRow].currentValue.data(), 2);
    return type;
}

uint16_t CCapabilityTable::CurrentBitDepth() const {
    const CapabilityEntry* row = Find(static_cast<uint16_t>(kBitDepthBase + CurrentPixelType()), AppProtocol::Twain1);
    if (row == nullptr || row->currentValue == nullptr) return 0;
    uint16_t depth;
    std::memcpy(&depth, row->currentValue, 2);
    return depth;
}

float CCapabilityTable::CurrentXResolution() const {
    float value;
    std::memcpy(&value, m_values[kXResolutionRow].currentValue.data(), 4);
    return value;
}

int16_t CCapabilityTable::CurrentXferCount() const {
    int16_t count;
    std::memcpy(&count, m_values[kXferCountRow].currentValue.data(), 2);
    return count;
}

}  // namespace qor::twain
