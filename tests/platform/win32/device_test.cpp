// User-mode device access against a small driver on the kernel stand-in:
// enumeration, paths, open, synchronous I/O control and the cleanup on close.

#include "kernel_fixture.h"
#include "test_usb_device.h"

#include "platform/kernel/device.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb_bus.h"
#include "platform/object/process.h"
#include "platform/win32/device_io.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/setupapi.h"

#include <cstring>
#include <vector>

namespace {

using namespace kplat;
using w32::DWORD;

const w32::GUID kClass{0x5ca1ab1e, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
const Guid kKernelClass{0x5ca1ab1e, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
constexpr uint32_t kEcho = controlCode(0x22, 1, kMethodBuffered, kFileAnyAccess);
constexpr uint32_t kWarn = controlCode(0x22, 2, kMethodBuffered, kFileAnyAccess);

int gCleanups = 0;
uint32_t gProcess = 0;
Status gStatus = status::kSuccess;

// Echoes the input plus one; any code but these two fails with gStatus.
void handle(Request& request)
{
    gProcess = request.caller().processId;
    const uint32_t code = request.parameters().ioControlCode;
    if (code != kEcho && code != kWarn) {
        request.complete(gStatus);
        return;
    }
    void* in = nullptr;
    void* out = nullptr;
    Status s = request.retrieveInputBuffer(4, &in, nullptr);
    if (succeeded(s))
        s = request.retrieveOutputBuffer(4, &out, nullptr);
    if (failed(s)) {
        request.complete(s);
        return;
    }
    uint32_t v;
    std::memcpy(&v, in, 4);
    ++v;
    std::memcpy(out, &v, 4);
    request.completeWithInformation(code == kWarn ? status::kBufferOverflow : status::kSuccess, 4);
}

Status add(Driver&, DeviceInit& init)
{
    FileObjectConfig files;
    files.fileCreate = [](Device&, Request& request, FileObject&) { request.complete(status::kSuccess); };
    files.fileCleanup = [](FileObject&) { ++gCleanups; };
    init.setFileObjectConfig(files, ObjectAttributes{});
    Device* device = nullptr;
    if (Status s = Device::create(init, ObjectAttributes{}, &device); failed(s))
        return s;
    QueueConfig queue;
    queue.ioDeviceControl = [](Queue&, Request& request, size_t, size_t, uint32_t) { handle(request); };
    Queue* q = nullptr;
    if (Status s = Queue::create(*device, queue, ObjectAttributes{}, &q); failed(s))
        return s;
    return device->createDeviceInterface(kKernelClass, nullptr);
}

Status entry(DriverObject& object, const std::u16string&)
{
    DriverConfig config;
    config.deviceAdd = &add;
    return Driver::create(object, ObjectAttributes{}, config, nullptr);
}

class DeviceAccess : public kplat::testing::KernelFixture {
protected:
    DeviceAccess()
    {
        gCleanups = 0;
        gStatus = status::kSuccess;
        EXPECT_EQ(pnp::loadDriver(&entry, u"test"), status::kSuccess);
        bus_ = std::make_unique<usb::HostController>();
    }
    ~DeviceAccess() override
    {
        bus_.reset();
        pnp::unloadDriver();
    }

    // The paths SetupAPI-style enumeration finds, as a client walks them.
    std::vector<std::u16string> paths()
    {
        std::vector<std::u16string> out;
        w32::HDEVINFO set = w32::SetupDiGetClassDevsW(&kClass, nullptr, 0, w32::DIGCF_PRESENT | w32::DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, w32::INVALID_HANDLE_VALUE);
        for (DWORD i = 0;; ++i) {
            w32::SP_DEVICE_INTERFACE_DATA data;
            data.cbSize = sizeof data;
            if (!w32::SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, i, &data)) {
                EXPECT_EQ(w32::GetLastError(), w32::ERROR_NO_MORE_ITEMS);
                break;
            }
            DWORD needed = 0;
            EXPECT_FALSE(w32::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr));
            EXPECT_EQ(w32::GetLastError(), w32::ERROR_INSUFFICIENT_BUFFER);
            std::vector<uint8_t> buf(needed);
            auto* detail = reinterpret_cast<w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
            detail->cbSize = sizeof(w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            EXPECT_FALSE(w32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed - 2, nullptr, nullptr));
            EXPECT_TRUE(w32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, needed, nullptr, nullptr));
            out.push_back(detail->DevicePath);
        }
        EXPECT_TRUE(w32::SetupDiDestroyDeviceInfoList(set));
        return out;
    }

    w32::HANDLE open(const std::u16string& path)
    {
        return w32::CreateFileW(path.c_str(), w32::GENERIC_READ | w32::GENERIC_WRITE,
                                w32::FILE_SHARE_READ | w32::FILE_SHARE_WRITE, nullptr, w32::OPEN_EXISTING,
                                w32::FILE_FLAG_OVERLAPPED, nullptr);
    }

    kplat::testing::TestUsbDevice mixer_;
    std::unique_ptr<usb::HostController> bus_;
};

TEST_F(DeviceAccess, EnumerateOpenControlClose)
{
    EXPECT_TRUE(paths().empty());
    const uint32_t port = bus_->plug(mixer_);
    const std::vector<std::u16string> found = paths();
    ASSERT_EQ(found.size(), 1u);

    w32::HANDLE h = open(found[0]);
    ASSERT_NE(h, w32::INVALID_HANDLE_VALUE);
    uint32_t in = 41, out = 0;
    DWORD bytes = 99;
    ASSERT_TRUE(w32::DeviceIoControl(h, kEcho, &in, 4, &out, 4, &bytes, nullptr));
    EXPECT_EQ(out, 42u);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(gProcess, w32::GetCurrentProcessId());

    // A short output buffer, and a warning status.
    EXPECT_FALSE(w32::DeviceIoControl(h, kEcho, &in, 4, &out, 2, &bytes, nullptr));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(w32::DeviceIoControl(h, kWarn, &in, 4, &out, 4, &bytes, nullptr));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_MORE_DATA);
    EXPECT_FALSE(w32::DeviceIoControl(h, kEcho, &in, 4, &out, 4, nullptr, nullptr));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INVALID_PARAMETER);

    EXPECT_EQ(gCleanups, 0);
    ASSERT_TRUE(w32::CloseHandle(h));
    EXPECT_EQ(gCleanups, 1);
    EXPECT_FALSE(w32::DeviceIoControl(h, kEcho, &in, 4, &out, 4, &bytes, nullptr));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INVALID_HANDLE);

    bus_->unplug(port);
    EXPECT_TRUE(paths().empty());
    EXPECT_EQ(open(found[0]), w32::INVALID_HANDLE_VALUE);
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceAccess, KernelStatusesBecomeWin32Errors)
{
    bus_->plug(mixer_);
    w32::HANDLE h = open(paths().at(0));
    ASSERT_NE(h, w32::INVALID_HANDLE_VALUE);
    const struct {
        Status status;
        DWORD error;
    } cases[] = {
        {status::kInvalidDeviceRequest, w32::ERROR_INVALID_FUNCTION},
        {status::kInvalidDeviceState, w32::ERROR_BAD_COMMAND},
        {statusFromBits(0x80000011), w32::ERROR_BUSY},
        {status::kInvalidHandle, w32::ERROR_INVALID_HANDLE},
        {status::kInternalError, w32::ERROR_INTERNAL_ERROR},
        {status::kInvalidParameter, w32::ERROR_INVALID_PARAMETER},
        {status::kUnsuccessful, w32::ERROR_GEN_FAILURE},
        {status::kInsufficientResources, w32::ERROR_NO_SYSTEM_RESOURCES},
        {status::kBufferTooSmall, w32::ERROR_INSUFFICIENT_BUFFER},
        {status::kDeviceNotConnected, w32::ERROR_DEVICE_NOT_CONNECTED},
        {statusFromBits(0xC0000999), w32::ERROR_MR_MID_NOT_FOUND},
    };
    for (const auto& c : cases) {
        gStatus = c.status;
        DWORD bytes = 7;
        EXPECT_FALSE(w32::DeviceIoControl(h, 0x220018, nullptr, 0, nullptr, 0, &bytes, nullptr));
        EXPECT_EQ(w32::GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(w32::errorFromNtStatus(c.status), c.error);
    }
    EXPECT_EQ(w32::errorFromNtStatus(status::kSuccess), w32::ERROR_SUCCESS);
    w32::CloseHandle(h);
}

TEST_F(DeviceAccess, EachProcessOpensForItselfAndItsExitCleansUp)
{
    bus_->plug(mixer_);
    const std::u16string path = paths().at(0);
    ob::Ref<ob::Process> host = ob::Process::create();
    {
        ob::ProcessScope scope(host);
        w32::HANDLE h = open(path);
        ASSERT_NE(h, w32::INVALID_HANDLE_VALUE);
        uint32_t in = 1, out = 0;
        DWORD bytes = 0;
        ASSERT_TRUE(w32::DeviceIoControl(h, kEcho, &in, 4, &out, 4, &bytes, nullptr));
        EXPECT_EQ(gProcess, host->id());
    }
    // The host ends without closing: its handles close with it.
    EXPECT_EQ(gCleanups, 0);
    host->terminate(0);
    EXPECT_EQ(gCleanups, 1);
}

TEST_F(DeviceAccess, MisusedEnumerationFails)
{
    bus_->plug(mixer_);
    EXPECT_EQ(w32::SetupDiGetClassDevsW(&kClass, nullptr, 0, w32::DIGCF_PRESENT), w32::INVALID_HANDLE_VALUE);
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INVALID_FLAGS);
    w32::HDEVINFO set = w32::SetupDiGetClassDevsW(&kClass, nullptr, 0, w32::DIGCF_DEVICEINTERFACE);
    w32::SP_DEVICE_INTERFACE_DATA data; // cbSize not set
    EXPECT_FALSE(w32::SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INVALID_USER_BUFFER);
    data.cbSize = sizeof data;
    ASSERT_TRUE(w32::SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    uint8_t buf[600] = {};
    auto* detail = reinterpret_cast<w32::SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf);
    EXPECT_FALSE(w32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof buf, nullptr, nullptr));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INVALID_USER_BUFFER); // detail's cbSize not set
    EXPECT_TRUE(w32::SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(w32::SetupDiEnumDeviceInterfaces(set, nullptr, &kClass, 0, &data));
    EXPECT_EQ(w32::GetLastError(), w32::ERROR_INVALID_HANDLE);
}

} // namespace
