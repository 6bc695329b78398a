// Firmware update and flash-parameter write through the device service: the
// two exclusive exchanges with one mixer port. Lock order: SelectionLock,
// then ExclusiveLock, as the rescan takes them.

#include <atomic>
#include <cstdio>

#include "mixer/midi/fw_update.h"
#include "mixer/midi/midi_service.h"
#include "platform/win32/clock.h"

namespace Orvo {

using common::threads::CCondition;
using common::threads::CMutexGuard;

namespace {

constexpr uint32_t kBootloaderSettleMs = 500;  // after 'r', and after a good update
constexpr uint32_t kBootloaderReturnMs = 18000; // how long the bootloader may take to answer
constexpr uint32_t kFlashAckMs = 3000;
constexpr uint32_t kFlashUnlock1 = 0x3E91D7A0u;
constexpr uint32_t kFlashUnlock2 = 0x0B6C52F4u;
constexpr size_t kUpdateSendBuffer = 1024;

std::atomic<MidiDevice*> g_updating{nullptr};

void sleepPast(uint32_t ms)
{
    const uint32_t start = w32::GetTickCount();
    while (w32::GetTickCount() - start < ms)
        w32::Sleep(1);
}

// What was open before an exchange, to be reopened after it: the device on
// the pair by its identity (its record may be gone by then), else the pair.
struct Selection {
    MidiPortPair* pair = nullptr;
    bool hadDevice = false;
    MidiDeviceDescriptor device;
};

Selection remember(Midi& m)
{
    Selection s;
    s.pair = m.OpenPair();
    if (MidiDevice* d = m.DeviceOnPortPair(s.pair)) {
        s.hadDevice = true;
        s.device = d->descriptor;
    }
    return s;
}

void reopen(Midi& m, const Selection& s)
{
    if (s.hadDevice)
        if (MidiDevice* d = m.FindDevice(s.device); d != nullptr && d->portPair != nullptr) {
            m.OpenPortPair(d->portPair);
            return;
        }
    if (s.pair != nullptr && m.IndexOfPortPair(s.pair) >= 0)
        m.OpenPortPair(s.pair);
}

} // namespace

bool Midi::UpdateSend(int length, const uint8_t* bytes)
{
    Midi* m = Instance();
    // The engine's messages are at most 261 bytes; anything that would not
    // fit the send buffer (or a frame) is refused, never written past it.
    if (m == nullptr || length <= 0 || static_cast<size_t>(length) > kDataChannelMaxMessage)
        return false;
    uint8_t payload[kUpdateSendBuffer];
    const size_t n = buildDataChannelPayload(m->protocol_.addressedA(), m->protocol_.addressedB(), bytes,
                                             static_cast<size_t>(length), payload, sizeof payload - 1);
    return n != 0 && m->SendSysExOnOpenPair(kMixerSysExId, payload, static_cast<uint32_t>(n));
}

bool Midi::UpdateRecv(uint32_t* length, const uint8_t** bytes)
{
    Midi* m = Instance();
    if (m == nullptr || length == nullptr || bytes == nullptr)
        return false;
    return m->protocol_.mailbox().take(bytes, length);
}

void Midi::OnUpdateProgress(uint8_t percent, int error)
{
    if (error != 0)
        std::printf("OMIDI: FAILED! Update %d error 0x%02x\r\n", percent, static_cast<unsigned>(error));
    if (Midi* m = Instance())
        m->NotifyUpdateProgress(g_updating.load(), percent, error);
}

int Midi::UpdateFirmware(MidiDevice* device, const OBinFileBuffer& image, bool force)
{
    if (device == nullptr || IndexOfDevice(device) < 0) {
        std::printf("OMIDI: FAILED! UpdateFirmware() Invalid device object?\r\n");
        return 2;
    }
    const MidiDeviceDescriptor copy = device->descriptor;
    ::UpdateForceFlag = force ? 1 : 0;
    Midi::UpdateForceFlag = force ? 1 : 0;
    g_updating = nullptr;
    protocol_.address(copy.usbId(), copy.serialNumber());
    fwUpdateSetSendHook(&Midi::UpdateSend);
    fwUpdateSetRecvHook(&Midi::UpdateRecv);

    Locks& l = locks();
    int result = 0;
    MidiDevice* updating = nullptr;
    {
        CMutexGuard selection(l.selection);
        const Selection former = remember(*this);
        bool engineStep = true;
        if (device->state == kDeviceBootloader) {
            updating = device;
        } else if (!OpenPortPair(device->portPair)) {
            std::printf("OMIDI: FAILED! Firmware to open port to start bootloader on Orvo MIDI device "
                        "0x%08x:%08x:%c err 0x%02x\r\n",
                        copy.usbId(), copy.serialNumber(), copy.portLetter(), 2u);
            result = 2;
            engineStep = false;
        } else {
            protocol_.setActive(true);
            ForgetDevice(device); // parked across the restart
            const uint8_t enter = static_cast<uint8_t>(ProtoCommand::EnterBootloader);
            SendSysExOnOpenPair(kMixerSysExId, &enter, 1);
            ClosePortPair(); // drains: the 'r' goes out first
            sleepPast(kBootloaderSettleMs);
            // Rescans run on the rescan thread, which skips SelectionLock
            // while the own-protocol flag is set.
            size_t seen = 0;
            const uint32_t start = w32::GetTickCount();
            while (w32::GetTickCount() - start < kBootloaderReturnMs) {
                if (l.rescanDone.Wait(1000) == CCondition::kTimeout && PendingRescans() == 0)
                    RequestRescan(false);
                const size_t count = DeviceCount();
                if (count != seen) {
                    seen = count;
                    updating = FindDevice(copy);
                    if (updating != nullptr)
                        break;
                }
            }
        }
        if (engineStep) {
            {
                CMutexGuard exclusive(l.exclusive);
                if (updating != nullptr && OpenPortPair(updating->portPair)) {
                    protocol_.setActive(true);
                    if (updating->state != kDeviceUpdating)
                        devices_.setStateAndQueue(updating, kDeviceUpdating);
                    g_updating = updating;
                    protocol_.mailbox().clear();
                    result = static_cast<int>(fwUpdateRun(image.data(), static_cast<uint32_t>(image.size()),
                                                          &Midi::OnUpdateProgress));
                    ClosePortPair(); // drains: the final C1 goes out
                    if (result != 0)
                        std::printf("OMIDI: FAILED! Firmware update on Orvo MIDI device 0x%08x:%08x:%c err 0x%02x\r\n",
                                    updating->descriptor.usbId(), updating->descriptor.serialNumber(),
                                    updating->descriptor.portLetter(), static_cast<unsigned>(result));
                    else
                        sleepPast(kBootloaderSettleMs);
                } else {
                    std::printf("OMIDI: FAILED Device did not come back after entering bootloader 0x%08x:%08x:%c\r\n",
                                copy.usbId(), copy.serialNumber(), copy.portLetter());
                    result = 2;
                }
                protocol_.setActive(false);
            }
            if (updating != nullptr && IndexOfDevice(updating) >= 0)
                devices_.removeDevice(updating); // found again as a new record after the restart
            devices_.dropParkedDevice();
            g_updating = nullptr;
        }
        protocol_.address(OwnProtocol::kNoDevice, OwnProtocol::kNoDevice);
        ClosePortPair();
        RequestRescan(false);
        reopen(*this, former);
    }
    g_updating = nullptr;
    return result;
}

int Midi::UpdateFirmwareFromFile(MidiDevice* device, const char* path, bool force)
{
    OBinFileBuffer image;
    if (!image.ReadFromFile(path))
        return 17;
    return UpdateFirmware(device, image, force);
}

bool Midi::WriteOFlashParam(MidiDevice* device, uint8_t command, uint32_t value)
{
    if (device == nullptr || IndexOfDevice(device) < 0) {
        std::printf("OMIDI: FAILED! WriteOFlashParam() Invalid device object?\r\n");
        return false;
    }
    const MidiDeviceDescriptor copy = device->descriptor;
    MidiPortPair* pair = device->portPair;
    Locks& l = locks();
    bool ok = false;
    {
        CMutexGuard selection(l.selection);
        CMutexGuard exclusive(l.exclusive);
        const Selection former = remember(*this);
        if (OpenPortPair(pair)) {
            protocol_.setActive(true);
            protocol_.address(copy.usbId(), copy.serialNumber());
            const struct {
                uint8_t command;
                uint32_t value;
            } steps[] = {{1, kFlashUnlock1}, {2, kFlashUnlock2}, {command, value}};
            ok = true;
            for (const auto& step : steps) {
                uint8_t payload[32];
                const size_t n = buildFlashParamPayload(copy.usbId(), copy.serialNumber(), step.value, step.command,
                                                        payload, sizeof payload);
                protocol_.clearAcknowledged();
                SendSysExOnOpenPair(kMixerSysExId, payload, static_cast<uint32_t>(n));
                const uint32_t start = w32::GetTickCount();
                while (!protocol_.acknowledged() && w32::GetTickCount() - start < kFlashAckMs)
                    w32::Sleep(1);
                if (!protocol_.acknowledged()) {
                    std::printf("OMIDI: OFLASH FAILED device did not ACK after PROTO_OFLASH_PARAM_CMD_UNLOCK1\r\n");
                    ok = false;
                    break;
                }
            }
        }
        protocol_.address(OwnProtocol::kNoDevice, OwnProtocol::kNoDevice);
        protocol_.setActive(false);
        ClosePortPair();
        reopen(*this, former);
    }
    return ok;
}

} // namespace Orvo
