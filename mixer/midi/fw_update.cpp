#include "mixer/midi/fw_update.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "mixer/midi/crc32.h"
#include "mixer/midi/le_bytes.h"
#include "mixer/midi/obin.h"
#include "platform/win32/clock.h"

using Orvo::loadLe32;
using Orvo::ObinRegionEntry;
using Orvo::ObinRegionHeader;
using Orvo::storeLe32;

uint8_t UpdateForceFlag = 0;

namespace {

constexpr uint32_t kUnknown = 0xFFFFFFFFu;
constexpr uint32_t kProgressEveryMs = 100;

std::atomic<FwUpdateSendHook> g_send{nullptr};
std::atomic<FwUpdateRecvHook> g_recv{nullptr};

struct FwUpdateContext {
    uint32_t state;
    uint32_t startTick, lastProgressTick, lastReplyTick;
    uint8_t frame[1 + 260];
    FwUpdateProgress progress;
    uint32_t regionCount;
    uint32_t region;
    uint32_t entryIndex;
    const uint8_t* image;
    uint32_t imageLength;
    const uint8_t* block; // current block's header, inside the image
    const uint8_t* entry; // current entry
    uint32_t bytesSent;
    uint32_t chunkCrc;
    uint32_t peripheral;
    uint32_t lastPercent;
    uint32_t retries;
    uint8_t failed;
    uint32_t regionsToWrite;
    uint32_t blocksFound;
    uint32_t chunkCounter;
    uint32_t result;
};

FwUpdateContext ctx;

bool send(uint32_t length)
{
    const FwUpdateSendHook hook = g_send.load(std::memory_order_acquire);
    return hook != nullptr && hook(static_cast<int>(length), ctx.frame);
}

bool sendCommand(uint8_t command)
{
    ctx.frame[0] = command;
    return send(1);
}

bool sendWithRegion(uint8_t command)
{
    ctx.frame[0] = command;
    storeLe32(ctx.frame + 1, ctx.region);
    return send(5);
}

void finish(uint32_t result)
{
    ctx.result = result;
    if (ctx.progress)
        ctx.progress(100, static_cast<int>(result));
    ctx.state = FW_STATE_STOPPED;
}

ObinRegionHeader header() { return ObinRegionHeader(ctx.block); }

void reportProgress()
{
    if (ctx.progress == nullptr)
        return;
    uint32_t p = 0;
    if (ctx.block != nullptr && ctx.entry != nullptr) {
        const ObinRegionHeader h = header();
        const uint32_t n = h.entryCount();
        const uint32_t entryLength = ObinRegionEntry(ctx.entry).length();
        if (ctx.bytesSent != 0 && n != 0 && entryLength != 0) {
            // Share of the block's bytes sent so far, so progress moves on
            // steadily across entries of different lengths.
            uint64_t done = ctx.bytesSent, total = 0;
            for (uint32_t i = 0; i < n; ++i) {
                const uint64_t len = h.entry(i).length();
                total += len;
                if (i < ctx.entryIndex)
                    done += len;
            }
            uint64_t q = done * 100 / total;
            if (ctx.regionsToWrite == 0 || ctx.blocksFound == 0)
                q = 0;
            else
                q = (q + uint64_t{ctx.blocksFound} * 100 - 100) / ctx.regionsToWrite;
            p = static_cast<uint32_t>(std::min<uint64_t>(q, 99));
        } else {
            p = ctx.lastPercent == kUnknown ? 0 : ctx.lastPercent;
        }
    }
    p = std::min<uint32_t>(p, 99);
    // A region written again after a failure starts from its beginning; the
    // bar never moves back.
    if (ctx.lastPercent == kUnknown || p > ctx.lastPercent) {
        ctx.lastPercent = p;
        ctx.progress(static_cast<uint8_t>(p), 0);
    }
}

void askRegionInfo()
{
    ctx.state = FW_STATE_REGION_INFO_ASKED;
    sendWithRegion(FW_CMD_ASK_REGION_INFO);
}

void nextRegion()
{
    for (;;) {
        ++ctx.region;
        ctx.entryIndex = 0;
        ctx.retries = 0;
        ctx.bytesSent = 0;
        ctx.failed = 0;
        reportProgress();
        if (ctx.region >= ctx.regionCount) {
            ctx.state = FW_STATE_FINISHED;
            sendCommand(FW_CMD_UPDATE_FINISHED);
            return;
        }
        ctx.block = nullptr;
        ctx.entry = nullptr;
        if (ctx.peripheral != kUnknown) {
            ctx.block = obinFindBlock(ctx.peripheral, ctx.region, ctx.image, ctx.imageLength);
            if (ctx.block != nullptr)
                ++ctx.blocksFound;
        }
        if (ctx.block != nullptr || ctx.peripheral == kUnknown) {
            askRegionInfo();
            return;
        }
    }
}

// A failure of the current region: it is asked for and written again from
// its start, up to kFwUpdateRetries times; then the run gives up.
void failRegion(uint32_t code, const char* message)
{
    ctx.failed = 1;
    ++ctx.retries;
    if (ctx.retries <= kFwUpdateRetries) {
        ctx.entry = nullptr;
        askRegionInfo();
        return;
    }
    std::fputs(message, stdout);
    finish(code);
}

// Starts entry [entryIndex] of the block. False (and the run ended) when its
// data lies outside its block or does not match its CRC.
bool startEntry()
{
    const ObinRegionHeader h = header();
    const ObinRegionEntry e = h.entry(ctx.entryIndex);
    ctx.entry = e.bytes();
    ctx.bytesSent = 0;
    ctx.chunkCrc = 0;
    if (!Orvo::obin::dataInBlock(h.blockLength(), e.dataOffset(), e.length())) {
        std::printf("ERROR: file format error!\r\n");
        finish(FW_ERR_FILE_FORMAT);
        return false;
    }
    if (obinCrc32(ctx.block + e.dataOffset(), e.length()) != e.crc()) {
        std::printf("ERROR: crc failure in source file\r\n");
        finish(FW_ERR_SOURCE_CRC);
        return false;
    }
    return true;
}

void endRegion()
{
    ctx.state = FW_STATE_REGION_END_SENT;
    sendWithRegion(FW_CMD_END_REGION);
}

// Sends chunks of the region until one that is answered has gone out (or the
// region is done and its end sent).
void burst()
{
    const ObinRegionHeader h = header();
    for (;;) {
        const ObinRegionEntry e(ctx.entry);
        const uint32_t base = h.base(), size = h.size(), address = e.address(), length = e.length();
        // The whole entry, not only its first address, must lie in the region.
        if (length > size || address < base || address - base > size - length) {
            std::printf("ERROR: file format error!\r\n");
            finish(FW_ERR_FILE_FORMAT);
            return;
        }
        if (ctx.bytesSent < length) {
            const uint32_t n = std::min(length - ctx.bytesSent, kFwUpdateMaxChunk);
            const uint8_t* data = ctx.block + e.dataOffset() + ctx.bytesSent;
            storeLe32(ctx.frame + 1, address + ctx.bytesSent);
            ctx.frame[5] = static_cast<uint8_t>(n);
            std::memcpy(ctx.frame + 6, data, n);
            ctx.chunkCrc = obinCrc32(data, n);
            ctx.state = FW_STATE_WRITING_CHUNKS;
            const bool answered = ctx.chunkCounter > 6;
            ctx.chunkCounter = answered ? 0 : ctx.chunkCounter + 1;
            ctx.frame[0] = answered ? FW_CMD_WRITE_CHUNK_ANSWERED : FW_CMD_WRITE_CHUNK;
            send(n + 6);
            ctx.bytesSent += n;
            if (answered || ctx.state != FW_STATE_WRITING_CHUNKS)
                return;
            continue;
        }
        ++ctx.entryIndex;
        ctx.bytesSent = 0;
        ctx.chunkCrc = 0;
        if (ctx.entryIndex >= h.entryCount()) {
            endRegion();
            return;
        }
        if (!startEntry())
            return;
    }
}

void regionInfo(uint32_t peripheral, uint32_t region, uint32_t version, uint32_t regionCrc)
{
    ctx.entryIndex = 0;
    ctx.bytesSent = 0;
    ctx.chunkCounter = 0;
    ctx.entry = nullptr;
    if (ctx.block == nullptr) {
        ctx.block = obinFindBlock(peripheral, region, ctx.image, ctx.imageLength);
        if (ctx.block != nullptr)
            ++ctx.blocksFound;
    }
    if (ctx.block == nullptr) {
        nextRegion();
        return;
    }
    if (peripheral != ctx.peripheral || region != ctx.region) {
        std::printf("ERROR: invalid region response PeripheralID %d Region %d should be PeripheralID %d Region %d\r\n",
                    static_cast<int>(peripheral), static_cast<int>(region), static_cast<int>(ctx.peripheral),
                    static_cast<int>(ctx.region));
        nextRegion();
        return;
    }
    const ObinRegionHeader h = header();
    if (!UpdateForceFlag && !ctx.failed && version == h.version() && regionCrc == h.regionCrc()) {
        nextRegion(); // already up to date
        return;
    }
    ctx.state = FW_STATE_REGION_START_SENT;
    ctx.frame[0] = FW_CMD_START_REGION;
    std::memcpy(ctx.frame + 1, h.bytes() + Orvo::obin::kPeripheralAt, 24); // the header's words in header order
    send(25);
}

void dispatch(const uint8_t* r, uint32_t length)
{
    if (length == 0)
        return;
    switch (r[0]) {
    case FW_REPLY_READY:
        if (ctx.state == FW_STATE_UPDATE_REQUESTED) {
            ctx.state = FW_STATE_REGION_COUNT_ASKED;
            sendCommand(FW_CMD_ASK_REGION_COUNT);
        }
        return;
    case FW_REPLY_REGION_COUNT:
        if (ctx.state != FW_STATE_REGION_COUNT_ASKED || length < 2)
            return;
        ctx.regionCount = r[1];
        if (ctx.regionCount == 0) {
            // Nothing to write is no success.
            std::printf("ERROR: invalid num regions %d?\r\n", 0);
            finish(FW_ERR_NO_BLOCKS);
            return;
        }
        ctx.peripheral = kUnknown;
        ctx.regionsToWrite = 0;
        ctx.blocksFound = 0;
        ctx.region = kUnknown;
        nextRegion();
        return;
    case FW_REPLY_REGION_INFO: {
        if (ctx.state != FW_STATE_REGION_INFO_ASKED || length < 25)
            return;
        const uint32_t peripheral = loadLe32(r + 1), region = loadLe32(r + 5);
        if (region != ctx.region) {
            std::printf("ERROR: Invalid region returned! Req %d Res %d\r\n", static_cast<int>(ctx.region),
                        static_cast<int>(region));
            finish(FW_ERR_WRONG_REGION);
            return;
        }
        if (ctx.peripheral == kUnknown) {
            ctx.peripheral = peripheral;
            if (ctx.regionsToWrite == 0) {
                ctx.regionsToWrite =
                    std::min(obinCountBlocks(peripheral, ctx.image, ctx.imageLength), ctx.regionCount);
                ctx.blocksFound = 0;
            }
        }
        regionInfo(peripheral, region, loadLe32(r + 9), loadLe32(r + 21));
        return;
    }
    case FW_REPLY_ACK: {
        if (length < 5)
            return;
        const uint32_t value = loadLe32(r + 1);
        if (ctx.state == FW_STATE_REGION_START_SENT) {
            ctx.entryIndex = 0;
            if (header().entryCount() == 0) {
                endRegion();
                return;
            }
            if (startEntry())
                burst();
        } else if (ctx.state == FW_STATE_WRITING_CHUNKS) {
            if (value == ctx.chunkCrc) {
                burst();
                return;
            }
            char message[96];
            std::snprintf(message, sizeof message, "ERROR: invalid write CRC returned 0x%08x 0x%08x giving up!\r\n",
                          value, ctx.chunkCrc);
            failRegion(FW_ERR_WRITE_CRC, message);
        } else if (ctx.state == FW_STATE_REGION_END_SENT) {
            if (value == header().regionCrc())
                nextRegion();
            else
                failRegion(FW_ERR_REGION_CRC, "ERROR: region CRC failed, giving up\r\n");
        }
        return;
    }
    case FW_REPLY_REFUSE: {
        if (length < 2)
            return;
        const uint8_t code = r[1];
        char message[96];
        std::snprintf(message, sizeof message, "ERROR: NAK 0x%02x returned on state %d region %d giving up!\r\n",
                      code, static_cast<int>(ctx.state), static_cast<int>(ctx.region));
        const uint32_t result = code != 0 ? uint32_t{code} : uint32_t{FW_ERR_REFUSED};
        if (ctx.state == FW_STATE_UPDATE_REQUESTED || ctx.state == FW_STATE_REGION_COUNT_ASKED) {
            // No region is known yet that could be written again.
            std::fputs(message, stdout);
            finish(result);
            return;
        }
        failRegion(result, message);
        return;
    }
    default:
        return;
    }
}

} // namespace

int fwUpdateInit()
{
    return 1;
}

void fwUpdateSetSendHook(FwUpdateSendHook hook)
{
    g_send.store(hook, std::memory_order_release);
}

void fwUpdateSetRecvHook(FwUpdateRecvHook hook)
{
    g_recv.store(hook, std::memory_order_release);
}

uint32_t fwUpdateRun(const uint8_t* image, uint32_t length, FwUpdateProgress progress)
{
    ctx = FwUpdateContext{};
    ctx.progress = progress;
    ctx.image = image;
    ctx.imageLength = image != nullptr ? length : 0;
    ctx.peripheral = kUnknown;
    ctx.lastPercent = kUnknown;
    ctx.startTick = ctx.lastProgressTick = ctx.lastReplyTick = w32::GetTickCount();

    if (!sendCommand(FW_CMD_REQUEST_UPDATE)) {
        ctx.result = FW_ERR_SEND;
        std::printf("ERROR: Failed to write update request\r\n");
        return ctx.result;
    }
    ctx.state = FW_STATE_UPDATE_REQUESTED;
    reportProgress();

    while (ctx.state != FW_STATE_STOPPED) {
        const FwUpdateRecvHook recv = g_recv.load(std::memory_order_acquire);
        uint32_t replyLength = 0;
        const uint8_t* reply = nullptr;
        if (recv != nullptr && recv(&replyLength, &reply)) {
            dispatch(reply, reply != nullptr ? replyLength : 0);
            ctx.lastReplyTick = w32::GetTickCount();
        }
        const uint32_t now = w32::GetTickCount();
        if (now - ctx.lastProgressTick > kProgressEveryMs) {
            ctx.lastProgressTick = now;
            reportProgress();
        }
        if (ctx.state == FW_STATE_STOPPED)
            break;
        if (now - ctx.lastReplyTick > kFwUpdateSilenceMs) {
            finish(FW_ERR_TIMEOUT);
        } else if (ctx.state == FW_STATE_FINISHED) {
            finish(ctx.blocksFound == 0 ? FW_ERR_NO_BLOCKS : FW_OK);
        }
    }
    return ctx.result;
}
