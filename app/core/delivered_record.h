// "Delivered Images.txt" in the "Images" folder: the images that left the store (delivered, or
// deleted by the user) whose file could not be deleted, one line each:
//     113005120.bmp 1A2B3C4D
// the store file name and the CRC-32 of the image's bytes in hexadecimal, lines ended by CRLF.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// File name -> CRC-32.
using DeliveredRecord = std::map<std::string, uint32_t>;

// The sound lines of the text; a line that is not a store file name, one blank and 1 to 8
// hexadecimal digits (a CR before the LF, blanks at the end allowed) is skipped. A name given
// twice keeps its last line.
DeliveredRecord ParseDeliveredRecord(std::string_view text);
// The text of the record, names in order.
std::string FormatDeliveredRecord(const DeliveredRecord& record);
