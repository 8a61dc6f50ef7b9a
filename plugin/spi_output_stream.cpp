// SpiOutputStream: owner of a decoded picture's two blocks.
#include "spi_output_stream.h"

#include "win32_handles.h"

SpiOutputStream::SpiOutputStream()
    : infoHandle(nullptr), bitsHandle(nullptr), infoData(nullptr), bitsData(nullptr) {}

SpiOutputStream::~SpiOutputStream() { Release(1); }

void SpiOutputStream::Set(HLOCAL info, HLOCAL bits) {
    Release(1);
    infoHandle = info;
    bitsHandle = bits;
}

void SpiOutputStream::Unlock() {
    // The locks taken by LockInfo / LockBits, given back here.
    LocalLockScope::Adopt(infoHandle, infoData);
    LocalLockScope::Adopt(bitsHandle, bitsData);
    infoData = nullptr;
    bitsData = nullptr;
}

void SpiOutputStream::Release(int32_t free) {
    if (free == 1) {
        Unlock();
        // A plug-in that hands back one block for both must not see it freed
        // twice. Freed in reverse order of declaration: info, then bits.
        UniqueLocal bits(bitsHandle != infoHandle ? bitsHandle : nullptr);
        UniqueLocal info(infoHandle);
    }
    infoHandle = nullptr;
    bitsHandle = nullptr;
    infoData = nullptr;
    bitsData = nullptr;
}

void* SpiOutputStream::LockInfo() {
    if (!infoData && infoHandle) infoData = LocalLock(infoHandle);
    return infoData;
}

void* SpiOutputStream::LockBits() {
    if (!bitsData && bitsHandle) bitsData = LocalLock(bitsHandle);
    return bitsData;
}
