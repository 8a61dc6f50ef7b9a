// SpiOutputStream: holds the two local-memory blocks a plug-in returns for
// a decoded picture (the information block, beginning with a
// BITMAPINFOHEADER, and the pixel data), locks each on demand and frees
// both when given a new pair, released with freeing, or destroyed.
#ifndef SPIPROBE_PLUGIN_SPI_OUTPUT_STREAM_H
#define SPIPROBE_PLUGIN_SPI_OUTPUT_STREAM_H

#include "spi_api.h"

class SpiOutputStream {
public:
    SpiOutputStream();
    // Unlocks and frees whatever is held.
    virtual ~SpiOutputStream();

    SpiOutputStream(const SpiOutputStream&) = delete;
    SpiOutputStream& operator=(const SpiOutputStream&) = delete;

    // Frees the pair held (Release(1)), then takes ownership of this one;
    // neither block is locked yet.
    void Set(HLOCAL info, HLOCAL bits);
    // Unlocks the blocks that LockInfo / LockBits locked.
    void Unlock();
    // free == 1: unlock and free both blocks. Any other value: forget them
    // without freeing (the caller takes them over). The holder is empty after.
    void Release(int32_t free);
    // The locked information block (locked once, then cached), or null when
    // no block is held or locking fails (tried again next time).
    void* LockInfo();
    // The same for the pixel data.
    void* LockBits();

    HLOCAL GetInfoHandle() const { return infoHandle; }
    HLOCAL GetBitsHandle() const { return bitsHandle; }

protected:
    HLOCAL infoHandle;
    HLOCAL bitsHandle;
    void* infoData;
    void* bitsData;
};

#endif
