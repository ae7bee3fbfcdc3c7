// The pictures of QOR APP's icons: the sensor in its three states, the two frames of the
// blinking images icon and the program's own icon. Each is drawn at any size from one drawing.
#pragma once

#include "external/qor_icons/gen/canvas.h"

#include <array>

enum class IconArt { App, SensorReady, SensorNotConnected, SensorError, Images1, Images2 };

struct IconFile {
    const char* fileName;
    IconArt art;
};

// Every icon file the generator writes; QorIcons.dll and QOR APP's resources name these files.
constexpr std::array<IconFile, 6> kIconFiles{{
    {"qor_app.ico", IconArt::App},
    {"sensor_ready.ico", IconArt::SensorReady},
    {"sensor_not_connected.ico", IconArt::SensorNotConnected},
    {"sensor_error.ico", IconArt::SensorError},
    {"images_1.ico", IconArt::Images1},
    {"images_2.ico", IconArt::Images2},
}};

// The sizes inside every icon file: the tray's small icon, the large icon and one for high DPI.
constexpr std::array<int, 3> kIconSizes{16, 32, 48};

Canvas DrawIcon(IconArt art, int size);
