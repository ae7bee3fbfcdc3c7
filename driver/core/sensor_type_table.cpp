// Sensor geometry by sensor type, and the orientation key.
#include "driver/core/sensor_type_table.h"

namespace qor {

int32_t SensorTypeForGeometry(uint32_t imagerId) {
    const int32_t type = static_cast<int32_t>((imagerId >> 20) & 0xF);
    return (type >= 1 && type <= 4) ? type : 2;
}

SensorGeometry SensorTypeTable(uint32_t imagerId) {
    // Rows in the order the table is searched: 4, 3, 2, 1.
    struct Row {
        int32_t type;
        SensorGeometry geometry;
    };
    static constexpr Row kRows[] = {
        {4, {1201, 861}}, {3, {999, 664}}, {2, {1201, 861}}, {1, {999, 664}}};
    const int32_t type = SensorTypeForGeometry(imagerId);
    for (const Row& row : kRows) {
        if (row.type == type) {
            return row.geometry;
        }
    }
    return {1201, 861};
}

uint32_t OrientationKey(uint32_t imagerId) {
    return ((imagerId & 0xFFu) << 20) | (((imagerId >> 8) & 0xFFu) << 12) |
           (((imagerId >> 16) & 0xFu) << 8) | ((imagerId >> 24) & 0xFFu);
}

bool NeedsTurn(uint32_t imagerId) {
    return OrientationKey(imagerId) >= kTurnKeyLimit;
}

} // namespace qor
