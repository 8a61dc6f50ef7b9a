// The board a helper process and its host share: the call running in the
// helper and the crash that ended it. It lies in a section the host makes,
// of a fixed layout whatever the bitness of either side, and the helper
// writes it without allocating anything, so that it is still written when
// the helper's heap is damaged.
#ifndef SPIPROBE_PLUGIN_ISOLATION_BOARD_H
#define SPIPROBE_PLUGIN_ISOLATION_BOARD_H

#include <windows.h>

#include <cstdint>

#include "base/fault_record.h"

namespace isolation {

constexpr uint32_t kCrashMagic = 0x43525053;  // "SPRC"

#pragma pack(push, 1)
struct Board {
    // Left by the helper's last-chance filter (magic kCrashMagic then).
    uint32_t crashMagic;
    uint32_t code;
    int32_t access;
    uint32_t reserved;
    uint64_t address;
    uint64_t instruction;
    // The call running: 1 between its start and its end, with its label.
    volatile LONG inCall;
    volatile LONG calls;  // calls started
    char label[128];
};
#pragma pack(pop)
static_assert(sizeof(Board) == 168, "Board");

// The crash the board holds; false when it holds none.
inline bool ReadCrash(const Board* board, FaultRecord* crash) {
    if (!board || board->crashMagic != kCrashMagic) return false;
    crash->code = board->code;
    crash->access = board->access;
    crash->address = static_cast<uintptr_t>(board->address);
    crash->instruction = static_cast<uintptr_t>(board->instruction);
    return true;
}

}  // namespace isolation

#endif
