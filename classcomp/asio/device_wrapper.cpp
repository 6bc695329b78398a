#include "classcomp/asio/device_wrapper.h"

#include "platform/win32/handles.h"

#include <algorithm>

namespace orvo::asio {

namespace {

class WrapperLock {
public:
    explicit WrapperLock(AudioDeviceInterfaceWrapper& w) : w_(w) { w32::EnterCriticalSection(&w_.lock); }
    ~WrapperLock() { w32::LeaveCriticalSection(&w_.lock); }
    WrapperLock(const WrapperLock&) = delete;
    WrapperLock& operator=(const WrapperLock&) = delete;

private:
    AudioDeviceInterfaceWrapper& w_;
};

} // namespace

MappingLease& MappingLease::operator=(MappingLease&& other) noexcept
{
    if (this != &other) {
        release();
        wrapper_ = other.wrapper_;
        epoch_ = other.epoch_;
        address_ = other.address_;
        other.wrapper_ = nullptr;
        other.address_ = nullptr;
    }
    return *this;
}

void MappingLease::release()
{
    AudioDeviceInterfaceWrapper* w = wrapper_;
    wrapper_ = nullptr;
    address_ = nullptr;
    if (!w)
        return;
    w32::HANDLE toClose = nullptr;
    {
        WrapperLock lock(*w);
        if (epoch_ == w->epoch) {
            --w->leases;
        } else {
            auto it = std::find_if(w->retired.begin(), w->retired.end(),
                                   [&](const AudioDeviceInterfaceWrapper::Retired& r) { return r.epoch == epoch_; });
            if (it != w->retired.end() && --it->leases == 0) {
                toClose = it->handle;
                w->retired.erase(it);
            }
        }
    }
    if (toClose)
        w32::CloseHandle(toClose);
}

MappingLease LeaseCurrentMappings(AudioDeviceInterfaceWrapper& wrapper, uint8_t* address)
{
    MappingLease lease;
    if (!address)
        return lease;
    WrapperLock lock(wrapper);
    ++wrapper.leases;
    lease.wrapper_ = &wrapper;
    lease.epoch_ = wrapper.epoch;
    lease.address_ = address;
    return lease;
}

void CloseWrapperHandle(AudioDeviceInterfaceWrapper& wrapper)
{
    w32::HANDLE old;
    {
        WrapperLock lock(wrapper);
        wrapper.asioInfo = nullptr;
        old = wrapper.handle;
        wrapper.handle = w32::INVALID_HANDLE_VALUE;
        if (old != w32::INVALID_HANDLE_VALUE && wrapper.leases > 0) {
            wrapper.retired.push_back({old, wrapper.epoch, wrapper.leases});
            old = w32::INVALID_HANDLE_VALUE;
        }
        ++wrapper.epoch;
        wrapper.leases = 0;
    }
    if (old != w32::INVALID_HANDLE_VALUE)
        w32::CloseHandle(old);
}

} // namespace orvo::asio
