// Names of the store's files, made from an image's time of day: "%.2d%.2d%.2d%.3d.bmp", the same
// digits as the file number the information file keeps ("%.9d.bmp").
#pragma once

#include <cstdint>
#include <string>

#include "common/core/image_record.h"

// hour x 10,000,000 + minute x 100,000 + second x 1,000 + milliseconds.
int32_t ImageFileNumber(const ImageTime& time);
// "HHMMSSmmm.bmp" of the time of day.
std::string ImageFileName(const ImageTime& time);
// "%.9d.bmp" of a file number.
std::string ImageFileNameOfNumber(int32_t fileNumber);
// The file number of "NNNNNNNNN.bmp" when it is a time of day; -1 for any other name.
int32_t FileNumberOfName(const std::string& name);
// True when the number is a time of day (hour < 24, minute < 60, second < 60): then the time's
// hour, minute, second and milliseconds are set from it.
bool TimeOfDayFromFileNumber(int32_t fileNumber, ImageTime& time);
// Moves the time on by one millisecond, carrying into seconds, minutes and hours; after
// 23:59:59.999 the time of day starts again at 00:00:00.000 (the date is left alone).
void AdvanceOneMillisecond(ImageTime& time);
// The name a moved-out file takes in the folder of older images: its own for the first try,
// "HHMMSSmmm (n).bmp" for try n (an image of another day may hold the name already).
std::string OlderImageFileName(const std::string& name, int attempt);
