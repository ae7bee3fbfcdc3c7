// Sensor geometry by sensor type, and the orientation key that decides the 180-degree turn.
#pragma once

#include <cstdint>

namespace qor {

struct SensorGeometry {
    int32_t width;
    int32_t height;
};

// Sensor type 1..4 from bits 20..23 of the imager ID; any other value counts as 2.
int32_t SensorTypeForGeometry(uint32_t imagerId);

// The SensorTypeTable row of an imager ID (type 1 and 3: 999 x 664, type 2 and 4: 1201 x 861).
SensorGeometry SensorTypeTable(uint32_t imagerId);

// ((id & 0xFF) << 20) | (((id >> 8) & 0xFF) << 12) | (((id >> 16) & 0xF) << 8) | (id >> 24).
uint32_t OrientationKey(uint32_t imagerId);

// Frames of sensors whose key reaches 100000000 are delivered turned by 180 degrees.
inline constexpr uint32_t kTurnKeyLimit = 100000000;
bool NeedsTurn(uint32_t imagerId);

} // namespace qor
