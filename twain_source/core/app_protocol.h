// The TWAIN protocol an application declares in its identity. Programs of 1.x keep the answers
// they always had; 2.x programs get the rules and capabilities TWAIN 2.x adds; programs of 1.5
// and older know no capability condition codes beyond TWCC_BADCAP.
#pragma once
#include <cstdint>

namespace qor::twain {

enum class AppProtocol : uint8_t { Twain15, Twain1, Twain2 };

constexpr AppProtocol AppProtocolOf(uint16_t protocolMajor, uint16_t protocolMinor) {
    if (protocolMajor >= 2) return AppProtocol::Twain2;
    return protocolMajor <= 1 && protocolMinor <= 5 ? AppProtocol::Twain15 : AppProtocol::Twain1;
}

}  // namespace qor::twain
