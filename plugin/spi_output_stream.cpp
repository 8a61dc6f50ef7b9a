// SpiOutputStream: owner of a decoded picture's two blocks.
#include "spi_output_stream.h"

SpiOutputStream::SpiOutputStream()
    : infoHandle(nullptr), bitsHandle(nullptr), infoData(nullptr), bitsData(nullptr) {}

SpiOutputStream::~SpiOutputStream() { Release(1); }

void SpiOutputStream::Set(HLOCAL info, HLOCAL bits) {
    Release(1);
    infoHandle = info;
    bitsHandle = bits;
}

void SpiOutputStream::Unlock() {
    if (infoData && infoHandle) LocalUnlock(infoHandle);
    if (bitsData && bitsHandle) LocalUnlock(bitsHandle);
    infoData = nullptr;
    bitsData = nullptr;
}

void SpiOutputStream::Release(int32_t free) {
    if (free == 1) {
        Unlock();
        if (infoHandle) LocalFree(infoHandle);
        // A plug-in that hands back one block for both must not see it freed twice.
        if (bitsHandle && bitsHandle != infoHandle) LocalFree(bitsHandle);
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
