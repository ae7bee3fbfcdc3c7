#include "app/core/image_file_name.h"

#include <cstdio>

int32_t ImageFileNumber(const ImageTime& time) {
    return static_cast<int32_t>(time.wHour) * 10000000 +
           static_cast<int32_t>(time.wMinute) * 100000 + static_cast<int32_t>(time.wSecond) * 1000 +
           static_cast<int32_t>(time.wMilliseconds);
}

std::string ImageFileName(const ImageTime& time) {
    // Wide enough for any 16-bit fields, so a corrupt time can never overrun the buffer.
    char name[48];
    std::snprintf(name, sizeof name, "%.2d%.2d%.2d%.3d.bmp", time.wHour, time.wMinute, time.wSecond,
                  time.wMilliseconds);
    return name;
}

std::string ImageFileNameOfNumber(int32_t fileNumber) {
    char name[24];
    std::snprintf(name, sizeof name, "%.9d.bmp", static_cast<int>(fileNumber));
    return name;
}

bool TimeOfDayFromFileNumber(int32_t fileNumber, ImageTime& time) {
    if (fileNumber < 0) {
        return false;
    }
    const int32_t hour = fileNumber / 10000000;
    const int32_t minute = fileNumber / 100000 % 100;
    const int32_t second = fileNumber / 1000 % 100;
    if (hour >= 24 || minute >= 60 || second >= 60) {
        return false;
    }
    time.wHour = static_cast<uint16_t>(hour);
    time.wMinute = static_cast<uint16_t>(minute);
    time.wSecond = static_cast<uint16_t>(second);
    time.wMilliseconds = static_cast<uint16_t>(fileNumber % 1000);
    return true;
}

void AdvanceOneMillisecond(ImageTime& time) {
    if (++time.wMilliseconds < 1000) {
        return;
    }
    time.wMilliseconds = 0;
    if (++time.wSecond < 60) {
        return;
    }
    time.wSecond = 0;
    if (++time.wMinute < 60) {
        return;
    }
    time.wMinute = 0;
    if (++time.wHour >= 24) {
        time.wHour = 0;
    }
}

int32_t FileNumberOfName(const std::string& name) {
    if (name.size() != 13 || name[9] != '.' ||
        (name.compare(10, 3, "bmp") != 0 && name.compare(10, 3, "BMP") != 0)) {
        return -1;
    }
    int32_t number = 0;
    for (size_t i = 0; i < 9; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return -1;
        }
        number = number * 10 + (name[i] - '0');
    }
    ImageTime time{};
    return TimeOfDayFromFileNumber(number, time) ? number : -1;
}

std::string OlderImageFileName(const std::string& name, int attempt) {
    if (attempt <= 1) {
        return name;
    }
    const size_t dot = name.rfind('.');
    const std::string stem = name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    return stem + " (" + std::to_string(attempt) + ")" + extension;
}
