// The Win32 backend's own logic with the Win32 calls replaced: enumeration loop, detail sizes,
// path copies, open arguments, and the "exactly TRUE" rule of the control calls.
#include "driver/win/win32_device_io.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

HDEVINFO const kFakeList = reinterpret_cast<HDEVINFO>(0x4711);
HANDLE const kFakeDevice = reinterpret_cast<HANDLE>(0x5150);

struct FakeWin32 {
    std::vector<std::string> interfaces;
    bool listFails = false;
    int listsDestroyed = 0;
    GUID askedClass{};
    DWORD askedFlags = 0;
    DWORD openAccess = 0, openShare = 0, openDisposition = 0;
    std::string openedPath;
    BOOL ioResult = TRUE;
    DWORD ioCode = 0, ioSelector = 0, ioLength = 0;
} g_fake;

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
    g_fake.askedClass = *guid;
    g_fake.askedFlags = flags;
    return g_fake.listFails ? INVALID_HANDLE_VALUE : kFakeList;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO list, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
    if (list != kFakeList || index >= g_fake.interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA) {
    const std::string& path = g_fake.interfaces[data->Reserved];
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) {
        *required = needed;
    }
    if (detail == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL WINAPI FakeDestroyList(HDEVINFO) {
    ++g_fake.listsDestroyed;
    return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                             DWORD disposition, DWORD, HANDLE) {
    g_fake.openedPath = path;
    g_fake.openAccess = access;
    g_fake.openShare = share;
    g_fake.openDisposition = disposition;
    return std::string(path) == "missing" ? INVALID_HANDLE_VALUE : kFakeDevice;
}

BOOL WINAPI FakeDeviceIoControl(HANDLE, DWORD code, LPVOID in, DWORD inSize, LPVOID, DWORD outSize,
                                LPDWORD, LPOVERLAPPED) {
    g_fake.ioCode = code;
    g_fake.ioSelector = inSize == 4 ? *static_cast<DWORD*>(in) : 0xFFFFFFFF;
    g_fake.ioLength = outSize;
    return g_fake.ioResult;
}

BOOL WINAPI FakeCloseHandle(HANDLE) { return TRUE; }

Win32DeviceIo MakeBackend() {
    g_fake = FakeWin32{};
    Win32DeviceApi api;
    api.getClassDevs = FakeGetClassDevs;
    api.enumInterfaces = FakeEnumInterfaces;
    api.getInterfaceDetail = FakeGetDetail;
    api.destroyList = FakeDestroyList;
    api.createFile = FakeCreateFile;
    api.deviceIoControl = FakeDeviceIoControl;
    api.closeHandle = FakeCloseHandle;
    return Win32DeviceIo(api);
}

TEST(Win32DeviceIo, EnumeratesEveryPresentInterfaceOfTheSensorClass) {
    Win32DeviceIo io = MakeBackend();
    const std::string longPath = "\\\\?\\usb#vid_1234&pid_0001#" + std::string(300, 'x');
    g_fake.interfaces = {"\\\\?\\usb#a", "\\\\?\\usb#b", longPath};
    std::vector<std::string> paths;
    ASSERT_TRUE(io.EnumerateInterfaces(paths));
    EXPECT_EQ(g_fake.interfaces, paths);
    EXPECT_EQ(0, std::memcmp(&kSensorInterfaceClass, &g_fake.askedClass, sizeof(GUID)));
    EXPECT_EQ(static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), g_fake.askedFlags);
    EXPECT_EQ(1, g_fake.listsDestroyed);
}

TEST(Win32DeviceIo, NoListMeansNoSensorsAndNothingToRelease) {
    Win32DeviceIo io = MakeBackend();
    g_fake.listFails = true;
    std::vector<std::string> paths{"stale"};
    EXPECT_FALSE(io.EnumerateInterfaces(paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(0, g_fake.listsDestroyed);
}

TEST(Win32DeviceIo, OpensForWritingWithWriteSharing) {
    Win32DeviceIo io = MakeBackend();
    EXPECT_EQ(reinterpret_cast<qor::DeviceHandle>(kFakeDevice), io.Open("\\\\?\\usb#a"));
    EXPECT_EQ(static_cast<DWORD>(GENERIC_WRITE), g_fake.openAccess);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_WRITE), g_fake.openShare);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), g_fake.openDisposition);
    EXPECT_EQ(qor::kNoDevice, io.Open("missing"));
    EXPECT_EQ(qor::kNoDevice, io.Open("")) << "an empty entry is never opened";
}

TEST(Win32DeviceIo, TransfersCarryThePipeSelectorAndSucceedOnlyOnTrue) {
    Win32DeviceIo io = MakeBackend();
    const qor::DeviceHandle device = io.Open("\\\\?\\usb#a");
    uint8_t block[64] = {12, 2};
    EXPECT_TRUE(io.BulkWrite(device, qor::Pipe::CommandOut, block, 2));
    EXPECT_EQ(kIoctlBulkWrite, g_fake.ioCode);
    EXPECT_EQ(1u, g_fake.ioSelector);
    EXPECT_EQ(2u, g_fake.ioLength);
    EXPECT_TRUE(io.BulkRead(device, qor::Pipe::DataIn, block, 32));
    EXPECT_EQ(kIoctlBulkRead, g_fake.ioCode);
    EXPECT_EQ(2u, g_fake.ioSelector);
    g_fake.ioResult = 2;
    EXPECT_FALSE(io.BulkRead(device, qor::Pipe::ReplyIn, block, 4)) << "only exactly TRUE counts";
    g_fake.ioResult = FALSE;
    EXPECT_FALSE(io.BulkWrite(device, qor::Pipe::DataOut, block, 3));
}

}  // namespace
