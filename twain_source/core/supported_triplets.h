// The data argument types the source answers, per data group: CAP_SUPPORTEDDATS lists them, and
// the shell's dispatch tables must answer exactly these (a test holds them to it).
#pragma once
#include <array>
#include <cstdint>

#include "twain_source/core/twain_codes.h"

namespace qor::twain {

struct SupportedTriplet {
    uint32_t dg;
    uint16_t dat;
};

inline constexpr std::array<SupportedTriplet, 20> kSupportedTriplets{{
    {DG_CONTROL, DAT_CAPABILITY},       {DG_CONTROL, DAT_EVENT},          {DG_CONTROL, DAT_IDENTITY},
    {DG_CONTROL, DAT_PENDINGXFERS},     {DG_CONTROL, DAT_SETUPFILEXFER},  {DG_CONTROL, DAT_SETUPMEMXFER},
    {DG_CONTROL, DAT_STATUS},           {DG_CONTROL, DAT_USERINTERFACE},  {DG_CONTROL, DAT_XFERGROUP},
    {DG_CONTROL, DAT_ENTRYPOINT},       {DG_IMAGE, DAT_CIECOLOR},         {DG_IMAGE, DAT_GRAYRESPONSE},
    {DG_IMAGE, DAT_IMAGEFILEXFER},      {DG_IMAGE, DAT_IMAGEINFO},        {DG_IMAGE, DAT_IMAGELAYOUT},
    {DG_IMAGE, DAT_IMAGEMEMXFER},       {DG_IMAGE, DAT_IMAGENATIVEXFER},  {DG_IMAGE, DAT_JPEGCOMPRESSION},
    {DG_IMAGE, DAT_PALETTE8},           {DG_IMAGE, DAT_RGBRESPONSE},
}};

// The CAP_SUPPORTEDDATS item of a triplet: data group in the upper half, DAT in the lower.
constexpr uint32_t SupportedDatCode(const SupportedTriplet& t) {
    return (t.dg << 16) | t.dat;
}

constexpr bool IsSupportedTriplet(uint32_t dg, uint16_t dat) {
    for (const SupportedTriplet& t : kSupportedTriplets) {
        if (t.dg == dg && t.dat == dat) return true;
    }
    return false;
}

}  // namespace qor::twain
