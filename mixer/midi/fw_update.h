#pragma once
// Firmware-update engine: writes an OBin image into a mixer running its
// bootloader, region by region, over a small request/reply protocol whose
// messages travel as the payloads of 's' data-channel messages. The engine
// knows nothing of MIDI: it sends through a send hook and polls a receive
// hook. One static context, so one run at a time, in the caller's thread.

#include <cstdint>

enum FwUpdateState : uint32_t {
    FW_STATE_STOPPED = 0,
    FW_STATE_UPDATE_REQUESTED = 1,
    FW_STATE_REGION_COUNT_ASKED = 2,
    FW_STATE_REGION_INFO_ASKED = 3,
    FW_STATE_REGION_START_SENT = 4,
    FW_STATE_WRITING_CHUNKS = 5,
    FW_STATE_REGION_END_SENT = 6,
    FW_STATE_FINISHED = 7,
};

// Host to device (byte 0 of a message).
enum FwUpdateCommand : uint8_t {
    FW_CMD_REQUEST_UPDATE = 0xC0,  // -> 0x80
    FW_CMD_UPDATE_FINISHED = 0xC1, // no answer
    FW_CMD_ASK_REGION_COUNT = 0xC2, // -> 0x84
    FW_CMD_ASK_REGION_INFO = 0xC4, // region at 1 -> 0x83
    FW_CMD_START_REGION = 0xC5,    // peripheral, region, version, base, size, region CRC -> 0x81
    FW_CMD_WRITE_CHUNK_ANSWERED = 0xC6, // address at 1, count at 5, data from 6 -> 0x81 chunk CRC
    FW_CMD_WRITE_CHUNK = 0xC7,     // the same, unanswered
    FW_CMD_END_REGION = 0xC8,      // region at 1 -> 0x81 region CRC
};

// Device to host (byte 0 of a reply), with the length each layout needs.
enum FwUpdateReply : uint8_t {
    FW_REPLY_READY = 0x80,        // 1 byte
    FW_REPLY_ACK = 0x81,          // u32 value at 1: 5 bytes
    FW_REPLY_REFUSE = 0x82,       // u8 code at 1: 2 bytes
    FW_REPLY_REGION_INFO = 0x83,  // peripheral 1, region 5, version 9, region CRC 21: 25 bytes
    FW_REPLY_REGION_COUNT = 0x84, // u8 count at 1: 2 bytes
};

// Results of fwUpdateRun. Any other value is the refusal code of a 0x82
// reply that came once more than the retries allow.
enum FwUpdateError : uint32_t {
    FW_OK = 0,
    FW_ERR_TIMEOUT = 1,         // no reply for more than 3,000 ms
    FW_ERR_SEND = 3,            // the update request could not be sent
    FW_ERR_SOURCE_CRC = 0x10,   // an entry's data does not match its CRC-32
    FW_ERR_FILE_FORMAT = 0x11,  // an entry does not lie in its region (or its block)
    FW_ERR_NO_BLOCKS = 0x12,    // no image block matched a region the device reported (or it reported none)
    FW_ERR_WRONG_REGION = 0x20, // the device described another region than the one asked for
    FW_ERR_REGION_CRC = 0x55,   // region CRC wrong through the retries
    FW_ERR_WRITE_CRC = 0x58,    // chunk CRC wrong through the retries
    FW_ERR_REFUSED = 0x82,      // a refusal whose code was 0, which must not read as success
};

// Largest message the engine sends: a chunk of 255 data bytes.
constexpr uint32_t kFwUpdateMaxChunk = 255;
constexpr uint32_t kFwUpdateMaxMessage = 6 + kFwUpdateMaxChunk;
constexpr uint32_t kFwUpdateSilenceMs = 3000;
constexpr uint32_t kFwUpdateRetries = 3;

using FwUpdateSendHook = bool (*)(int length, const uint8_t* bytes);
// Returns true and the latest reply when one arrived since the last call.
using FwUpdateRecvHook = bool (*)(uint32_t* length, const uint8_t** bytes);
// percent 0..99 with result 0 while running, then one call with 100 and the result.
using FwUpdateProgress = void (*)(uint8_t percent, int result);

// When set, no region is skipped as up to date. Set by the caller before a run.
extern uint8_t UpdateForceFlag;

int fwUpdateInit();
void fwUpdateSetSendHook(FwUpdateSendHook hook);
void fwUpdateSetRecvHook(FwUpdateRecvHook hook);

// Writes every region of the image that the device reports. The image is a
// host-order OBin image (as an Orvo::OBinFileBuffer holds it); the engine only
// reads it. Returns the result code.
uint32_t fwUpdateRun(const uint8_t* image, uint32_t length, FwUpdateProgress progress);
